#include "partialfile.h"

#include "filereplacement.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kCopyBlock = 1 << 16;

// Closes a descriptor on every path out of a copy.
class ReadDescriptor {
public:
    explicit ReadDescriptor(const QString& path)
        : m_Descriptor(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
    {
    }
    ~ReadDescriptor()
    {
        if (m_Descriptor != -1)
            ::close(m_Descriptor);
    }
    ReadDescriptor(const ReadDescriptor&) = delete;
    ReadDescriptor& operator=(const ReadDescriptor&) = delete;
    int get() const { return m_Descriptor; }

private:
    int m_Descriptor;
};

} // namespace

PartialFile::PartialFile(const QString& target) : m_Descriptor(-1), m_Placed(false)
{
    std::string partial;
    m_Descriptor = vlpatch::CreatePartialFile(vlpatch::FinalPathOf(QFile::encodeName(target).constData()), &partial);
    m_Path = QByteArray::fromStdString(partial);
}

PartialFile::~PartialFile()
{
    if (m_Descriptor != -1)
        ::close(m_Descriptor);
    if (!m_Placed && !m_Path.isEmpty())
        ::unlink(m_Path.constData());
}

bool PartialFile::write(const char* bytes, qint64 size)
{
    if (!isOpen())
        return false;
    while (size > 0) {
        const ssize_t written = ::write(m_Descriptor, bytes, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

bool PartialFile::copyFrom(const QString& source)
{
    ReadDescriptor in(source);
    struct stat info;
    if (!isOpen() || in.get() == -1 || ::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    QByteArray buffer(kCopyBlock, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), size_t(buffer.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!write(buffer.constData(), n))
            return false;
    }
    return ::fchmod(m_Descriptor, info.st_mode & 0777) == 0;
}

bool PartialFile::finish()
{
    if (!isOpen())
        return false;
    bool ok = ::fsync(m_Descriptor) == 0;
    ok = ::close(m_Descriptor) == 0 && ok;
    m_Descriptor = -1;
    return ok;
}

bool PartialFile::replace(const QString& name)
{
    const QByteArray target = QFile::encodeName(name);
    struct stat existing;
    if (isOpen() && ::stat(target.constData(), &existing) == 0 && S_ISREG(existing.st_mode)
        && ::fchmod(m_Descriptor, existing.st_mode & 07777) != 0)
        return false;
    if (!finish())
        return false;
    m_Placed = ::rename(m_Path.constData(), target.constData()) == 0;
    return m_Placed;
}

bool PartialFile::add(const QString& name)
{
    if (!finish())
        return false;
    const QByteArray target = QFile::encodeName(name);
    if (::link(m_Path.constData(), target.constData()) == 0) {
        ::unlink(m_Path.constData());
        m_Placed = true;
        return true;
    }
    // A file system without hard links: the name is free a moment before the rename.
    struct stat info;
    if (errno == EEXIST || ::lstat(target.constData(), &info) == 0)
        return false;
    m_Placed = ::rename(m_Path.constData(), target.constData()) == 0;
    return m_Placed;
}

void PartialFile::removeLeftovers(const QString& finalPath)
{
    const QFileInfo final(finalPath);
    const std::string name = QFile::encodeName(final.fileName()).toStdString();
    const QString prefix = QFile::decodeName(vlpatch::PartialFilePrefix(name).c_str());
    const QDir folder = final.dir();
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks)) {
        if (name.startsWith(prefix))
            qDebug() << "Remove unfinished file" << folder.filePath(name) << QFile::remove(folder.filePath(name));
    }
}
