#include "prepostinstalltaskspecification.h"

#include "configuration.h"
#include "confineddirectory.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QObject* g_mainWindow = nullptr;

namespace {

constexpr int kStartTimeoutMs = 30000;

} // namespace

PrePostInstallFunc::PrePostInstallFunc(const InstallCommand& command, const QString& tempDir)
    : m_Command(command), m_TempDir(tempDir)
{
}

QString PrePostInstallFunc::prepareProgram(const QString& path) const
{
    // The program is named by the product ini and must be one of the files fetched or copied
    // into the temporary directory.
    if (!ConfinedDirectory::isRelativeFileName(m_Command.program)
        || ConfinedDirectory(m_TempDir).resolveInside(path).isEmpty())
        return QStringLiteral("the program lies outside the temporary directory");

    // Downloads and copies are written without execute permission. Opened without following a
    // link and without blocking on a pipe, so the mode changes on the file itself.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return qt_error_string(errno);
    QString reason;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        reason = qt_error_string(errno);
    } else if (!S_ISREG(st.st_mode)) {
        reason = QStringLiteral("not a regular file");
    } else {
        // Executable for its owner, writable by nobody else, no set-id bits.
        const mode_t mode = (st.st_mode & 0755) | S_IRUSR | S_IXUSR;
        if (mode != (st.st_mode & 07777) && ::fchmod(fd, mode) != 0)
            reason = qt_error_string(errno);
    }
    ::close(fd);
    return reason;
}

bool PrePostInstallFunc::failed() const
{
    return !m_Command.required;
}

bool PrePostInstallFunc::run()
{
    const QString& program = m_Command.program;
    QStringList arguments;
    for (const QString& argument : m_Command.arguments)
        arguments << QStringLiteral("--") + argument;
    emit message(QStringLiteral("Starting %1").arg(program));

    const QString path = m_TempDir + QDir::separator() + program;
    const QString refusal = prepareProgram(path);
    if (!refusal.isEmpty()) {
        qDebug() << "Install command refused:" << program << refusal;
        emit message(QStringLiteral("Failed to start %1: %2").arg(program, refusal));
        return failed();
    }

    QProcess process;
    // Output goes where the updater's own goes instead of piling up unread in memory.
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(path, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(kStartTimeoutMs)) {
        emit message(QStringLiteral("Failed to start %1: %2").arg(program, process.errorString()));
        return failed();
    }
    if (!process.waitForFinished(-1)) {
        emit message(QStringLiteral("Failed to run %1: %2").arg(program, process.errorString()));
        return failed();
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (code == 0) {
        emit message(QStringLiteral("%1 completed sucessfully").arg(program));
        return true;
    }
    if (code == kRebootExitCode || code == kRebootExitStatus) {
        emit message(QStringLiteral("%1 completed sucessfully, reboot required").arg(program));
        emit reboot_with_confirmation();
        return true;
    }
    if (code == 1)
        emit message(QStringLiteral("Failed to complete %1, exit code: %2").arg(program).arg(code));
    else
        qDebug() << "Install command" << program << "ended with exit code" << code;
    return failed();
}

PrePostInstallTaskSpecification::PrePostInstallTaskSpecification(const InstallCommand* command,
                                                                 Configuration* configuration, QObject* parent,
                                                                 qreal weight)
    : ASyncTaskSpecification(parent, weight), m_Command(command), m_Configuration(configuration)
{
}

ASyncFunc* PrePostInstallTaskSpecification::createFunc()
{
    auto* func = new PrePostInstallFunc(*m_Command, m_Configuration->tempDir);
    // Without a receiver the restart request is dropped; the command still counts as succeeded.
    if (g_mainWindow)
        connect(func, SIGNAL(reboot_with_confirmation()), g_mainWindow, SLOT(onRebootWithConfirmation()),
                Qt::QueuedConnection);
    return func;
}

PrePostInstallListTaskSpecification::PrePostInstallListTaskSpecification(const QList<InstallCommand>* commands,
                                                                         Configuration* configuration,
                                                                         QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Commands(commands), m_Configuration(configuration)
{
}

void PrePostInstallListTaskSpecification::execute()
{
    if (!m_Commands->isEmpty())
        emit message(QStringLiteral("Starting install condition"));
    for (const InstallCommand& command : *m_Commands)
        addTask(new PrePostInstallTaskSpecification(&command, m_Configuration, this, kCommandWeight));
    state = RUNNING;
    startSubtasks();
}

void PrePostInstallListTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    TaskSpecification::reset();
}
