#include "wholeinifile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Tries at names for the new file beside the old one before giving up.
const int kNameAttempts = 64;

struct IniBytes {
    bool exists = false;
    QByteArray bytes;
    mode_t mode = 0;
};

bool fail(QString* failure, const QString& reason)
{
    if (failure)
        *failure = reason;
    return false;
}

bool failWithErrno(QString* failure, int error)
{
    return fail(failure, qt_error_string(error));
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

// The file's bytes and mode; a missing file is no failure.
bool readIni(const QString& path, IniBytes* ini, QString* failure)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || failWithErrno(failure, errno);
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    char buffer[4096];
    ssize_t got = 0;
    while (ok && (got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno != EINTR)
            ok = false;
        else if (got > 0)
            ini->bytes.append(buffer, int(got));
    }
    const int error = errno;
    ::close(fd);
    if (!ok)
        return failWithErrno(failure, error);
    ini->exists = true;
    ini->mode = st.st_mode & 07777;
    return true;
}

// A new file of `bytes` at `path`, which must not exist yet.
bool writeNewFile(const QString& path, const QByteArray& bytes, QString* failure)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return failWithErrno(failure, errno);
    const bool written = writeAll(fd, bytes);
    const int error = errno;
    if (::close(fd) != 0 && written)
        return failWithErrno(failure, errno);
    return written || failWithErrno(failure, error);
}

// Whether a QSettings reading `path` afresh finds exactly the keys and values that `expected` holds.
bool readsBack(QSettings& expected, const QString& path)
{
    QSettings written(path, QSettings::IniFormat);
    QStringList keys = expected.allKeys();
    QStringList writtenKeys = written.allKeys();
    std::sort(keys.begin(), keys.end());
    std::sort(writtenKeys.begin(), writtenKeys.end());
    return written.status() == QSettings::NoError && keys == writtenKeys
        && std::all_of(keys.cbegin(), keys.cend(), [&](const QString& key) { return written.value(key) == expected.value(key); });
}

// The ini text of `old` with `change` applied, in QSettings's own format and escaping, without the
// lines that QSettings cannot read; no file when no setting is left. QSettings counts a write that
// ran out of space as done, leaving an empty or cut-off file: it writes in a private folder, and
// its text counts once it reads back.
bool compose(const QString& path, const IniBytes& old, const std::function<void(QSettings&)>& change,
             IniBytes* composed, QString* failure)
{
    const QTemporaryDir dir;
    if (!dir.isValid())
        return fail(failure, dir.errorString());
    const QString oldCopy = dir.filePath(QStringLiteral("old.ini"));
    if (old.exists && !writeNewFile(oldCopy, old.bytes, failure))
        return false;
    const QSettings oldSettings(oldCopy, QSettings::IniFormat);
    const QStringList oldKeys = oldSettings.allKeys();
    // Users edit the file by hand; Qt skips the lines it cannot read, keeps the rest, and its own
    // writer left those lines out. So does this one, rather than block every later update.
    if (oldSettings.status() == QSettings::FormatError)
        qWarning().noquote() << "Lines of" << path << "that Qt could not read are left out";
    // The settings go into a new file, not into the old one: Qt would write that one in the
    // encoding its byte-order mark names, which a reader without the mark does not share.
    const QString newCopy = dir.filePath(QStringLiteral("new.ini"));
    QSettings settings(newCopy, QSettings::IniFormat);
    for (const QString& key : oldKeys)
        settings.setValue(key, oldSettings.value(key));
    change(settings);
    settings.sync();
    if (settings.allKeys().isEmpty())
        return true;
    // A fresh name: a QSettings on the same one could answer from the cache that QSettings keeps.
    const QString written = dir.filePath(QStringLiteral("written.ini"));
    if (!QFile::rename(newCopy, written) || !readsBack(settings, written))
        return fail(failure, QStringLiteral("The settings could not be written in the temporary folder %1").arg(QDir::tempPath()));
    return readIni(written, composed, failure);
}

// Opens a new file beside `path` under a name of its own, which `name` gets.
int createBeside(const QString& path, QByteArray* name)
{
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        *name = QFile::encodeName(path) + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        // A new file's mode is what the umask leaves of 0666, as for any file the user creates.
        const int fd = ::open(name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Puts `bytes` in the place of `path` by renaming a new file over it: a reader, and a write that
// fails half-way, never leave a part of either. The old file's mode stays.
bool replace(const QString& path, const QByteArray& bytes, const IniBytes& old, QString* failure)
{
    QByteArray name;
    const int fd = createBeside(path, &name);
    if (fd < 0)
        return failWithErrno(failure, errno);
    bool ok = (!old.exists || ::fchmod(fd, old.mode) == 0) && writeAll(fd, bytes) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(name.constData(), QFile::encodeName(path).constData()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok)
        ::unlink(name.constData());
    return ok || failWithErrno(failure, error);
}

// A link stays a link: its target gets the new content.
QString targetOf(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    return target.isEmpty() ? path : target;
}

} // namespace

WholeIniFile::WholeIniFile(const QString& path) : m_Path(path) {}

bool WholeIniFile::change(const std::function<void(QSettings&)>& change, QString* failure) const
{
    const QString target = targetOf(m_Path);
    IniBytes old;
    IniBytes composed;
    if (!readIni(target, &old, failure))
        return false;
    // A file that its user may not write keeps its settings, as Qt's own writer kept them: the
    // rename would otherwise replace it all the same.
    if (old.exists && ::faccessat(AT_FDCWD, QFile::encodeName(target).constData(), W_OK, AT_EACCESS) != 0)
        return failWithErrno(failure, errno);
    if (!compose(target, old, change, &composed, failure))
        return false;
    if (composed.exists)
        return replace(target, composed.bytes, old, failure);
    if (old.exists && ::unlink(QFile::encodeName(m_Path).constData()) != 0)
        return failWithErrno(failure, errno);
    return true;
}
