#include "processtools.h"

#include "configuration.h"
#include "filelock.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs `program` without arguments in `dir`, in a session of its own and adopted by init, as
// QProcess::startDetached does; unlike it, this learns why a start failed. The error number
// comes back through a pipe that a successful exec closes. Empty on success.
QString startDetachedProgram(const QString& program, const QString& dir)
{
    // Made before the fork: the children may only call async-signal-safe functions.
    QByteArray path = QFile::encodeName(program);
    const QByteArray directory = QFile::encodeName(dir);
    char* const argv[] = {path.data(), nullptr};

    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0)
        return qt_error_string(errno);
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0 && ::chdir(directory.constData()) == 0) {
            // Whatever the updater ignores, the program it starts does not.
            ::signal(SIGPIPE, SIG_DFL);
            ::execv(path.constData(), argv);
        }
        if (grandchild > 0)
            ::_exit(0);
        const int error = errno;
        if (::write(errorPipe[1], &error, sizeof error) != sizeof error)
            ::_exit(2);
        ::_exit(1);
    }
    const int forkError = errno;
    ::close(errorPipe[1]);
    if (child < 0) {
        ::close(errorPipe[0]);
        return qt_error_string(forkError);
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do {
        got = ::read(errorPipe[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(errorPipe[0]);
    return got == sizeof error ? qt_error_string(error) : QString();
}

} // namespace

bool ProcessTools::startVl3Client(const QString& dir, QString* failure)
{
    qDebug() << "startVl3Client";
    const QString path = dir + "/" + Configuration::getClientStartScript();
    qDebug() << "starting " << path;
    const QString reason = startDetachedProgram(path, dir);
    if (reason.isEmpty())
        return true;
    *failure = path + ": " + reason;
    return false;
}

bool ProcessTools::startClientUpdater(const QString& dir, const QStringList& arguments, const FileLock& session)
{
    qDebug() << "startClientUpdater" << dir << arguments;
    const QString path = dir + "/update";
    qDebug() << "startNewUpdater_linux" << path;
    if (!QFile::exists(path)) {
        qDebug() << "Failed to find" << path;
        return false;
    }
    qDebug() << "starting" << path;
    QProcess process;
    process.setProgram(path);
    process.setArguments(arguments);
    process.setWorkingDirectory(dir);
    return session.startDetachedHolding(&process);
}
