#include "filelock.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const int kRetryIntervalMs = 50;

} // namespace

FileLock::~FileLock()
{
    release();
}

FileLock::Outcome FileLock::acquire(const QString& file, int waitMs)
{
    const QString clean = QDir::cleanPath(file);
    // A second lock of ours on the same file would wait for this one.
    if (m_Descriptor != -1 && clean == m_File)
        return Held;
    release();
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

void FileLock::release()
{
    if (m_Descriptor == -1)
        return;
    ::close(m_Descriptor);
    m_Descriptor = -1;
    m_File.clear();
}
