#include "filelock.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kRetryIntervalMs = 50;
// Tells a started program which of its descriptors holds the lock handed to it.
const char kHandedOverVariable[] = "VL_HANDED_OVER_LOCK_FD";

bool isOpenOn(int descriptor, const QString& file)
{
    struct stat opened;
    struct stat named;
    return ::fstat(descriptor, &opened) == 0 && ::lstat(QFile::encodeName(file).constData(), &named) == 0
        && S_ISREG(named.st_mode) && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

} // namespace

FileLock::~FileLock()
{
    release();
    if (m_HandedOver != -1)
        ::close(m_HandedOver);
}

FileLock::Outcome FileLock::acquire(const QString& file, int waitMs)
{
    const QString clean = QDir::cleanPath(file);
    // A second lock of ours on the same file would wait for this one.
    if (m_Descriptor != -1 && clean == m_File)
        return Held;
    release();
    if (m_HandedOver != -1) {
        const int handedOver = m_HandedOver;
        m_HandedOver = -1;
        if (adopt(handedOver, clean))
            return Held;
        // A lock on another file is no use here; its other holders keep it.
        ::close(handedOver);
    }
    const int descriptor =
        ::open(QFile::encodeName(clean).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor == -1)
        return CannotOpen;
    const QDeadlineTimer deadline(waitMs);
    while (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if (deadline.hasExpired()) {
            ::close(descriptor);
            return HeldByOther;
        }
        QThread::msleep(kRetryIntervalMs);
    }
    m_File = clean;
    m_Descriptor = descriptor;
    return Held;
}

bool FileLock::adopt(int descriptor, const QString& file)
{
    // The lock is on the open file, shared by every copy of the descriptor: locking it again
    // succeeds at once for a holder and fails while somebody else holds the file.
    if (!isOpenOn(descriptor, file) || ::flock(descriptor, LOCK_EX | LOCK_NB) != 0)
        return false;
    m_File = file;
    m_Descriptor = descriptor;
    return true;
}

void FileLock::release()
{
    if (m_Descriptor == -1)
        return;
    ::close(m_Descriptor);
    m_Descriptor = -1;
    m_File.clear();
}

bool FileLock::startDetachedHolding(QProcess* process) const
{
    // A copy without close-on-exec, which the started program inherits.
    const int inherited = m_Descriptor == -1 ? -1 : ::fcntl(m_Descriptor, F_DUPFD, STDERR_FILENO + 1);
    if (inherited == -1)
        return process->startDetached();
    QProcessEnvironment environment = process->processEnvironment();
    if (environment.isEmpty())
        environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kHandedOverVariable), QString::number(inherited));
    process->setProcessEnvironment(environment);
    const bool started = process->startDetached();
    ::close(inherited);
    return started;
}

void FileLock::takeHandedOver()
{
    const QByteArray note = qgetenv(kHandedOverVariable);
    if (note.isEmpty())
        return;
    qunsetenv(kHandedOverVariable);
    bool isNumber = false;
    const int descriptor = note.toInt(&isNumber);
    // Only an inherited descriptor qualifies: this process opens its own close-on-exec.
    const int flags = isNumber && descriptor > STDERR_FILENO ? ::fcntl(descriptor, F_GETFD) : -1;
    if (flags == -1 || (flags & FD_CLOEXEC) || m_HandedOver != -1)
        return;
    ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
    m_HandedOver = descriptor;
}
