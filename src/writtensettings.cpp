#include "writtensettings.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include <cerrno>
#include <unistd.h>

namespace {

// Far beyond any update.ini; a larger file is not read into memory.
const qint64 kMaxIniBytes = 1 << 20;
// What QSettings's lock file beside the file holds: process id, program, host and machine.
const qint64 kLockFileBytes = 128;

// Fills `file`, open, with `bytes` and puts them on disk; the system's reason when that fails.
QString failureToFill(QFile& file, qint64 bytes)
{
    if (file.write(QByteArray(int(bytes), '\n')) != bytes || !file.flush())
        return file.errorString();
    if (::fdatasync(file.handle()) != 0)
        return qt_error_string(errno);
    return QString();
}

} // namespace

QVariantMap WrittenSettings::groupOnDisk(const QString& path, const QString& group)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QVariantMap();
    const QByteArray bytes = file.read(kMaxIniBytes + 1);
    // Read through a name that no QSettings of this process has seen, so the bytes come from disk.
    QTemporaryFile copy;
    if (bytes.size() > kMaxIniBytes || !copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return QVariantMap();
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    settings.beginGroup(group);
    QVariantMap values;
    for (const QString& key : settings.childKeys())
        values.insert(key, settings.value(key));
    return values;
}

QString WrittenSettings::whyUnwritable(const QString& path, qint64 bytes)
{
    // QSettings opens the file, then writes a lock file and the new content beside it at once.
    if (QFileInfo::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return file.errorString();
    }
    QTemporaryFile lock(path + QStringLiteral(".XXXXXX"));
    if (!lock.open())
        return lock.errorString();
    QString reason = failureToFill(lock, kLockFileBytes);
    if (!reason.isEmpty())
        return reason;
    QTemporaryFile content(path + QStringLiteral(".XXXXXX"));
    if (!content.open())
        return content.errorString();
    return failureToFill(content, qMin(bytes, kMaxIniBytes));
}
