#include "replacejournal.h"

#include "partialfile.h"
#include "rollback.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kFileName = "replace.journal";
const char* const kKeptAside = "aside";
const char* const kCreated = "new";
const char* const kCreatedDir = "dir";
const char* const kCommitted = "done";

void removeCreatedFile(const QString& file)
{
    const QByteArray name = QFile::encodeName(file);
    struct stat info;
    if (::lstat(name.constData(), &info) == 0 && S_ISREG(info.st_mode))
        qDebug() << "Remove created file" << file << (::unlink(name.constData()) == 0);
}

// Puts the installed file kept aside for `file` back in one step, so that the name is never
// missing. Empty when it is back or had never been set aside, else why it cannot be put back.
QString putBack(const QString& file)
{
    const QString backup = ReplaceJournal::backupPath(file);
    struct stat info;
    // Killed before the backup was made, or put back by an earlier recovery.
    if (::lstat(QFile::encodeName(backup).constData(), &info) != 0 && errno == ENOENT)
        return QString();
    if (!RollbackData::renameBack(backup, file))
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}

} // namespace

ReplaceJournal::ReplaceJournal(const QString& sessionDir) : m_Path(sessionDir + "/" + kFileName) {}

QString ReplaceJournal::backupPath(const QString& file)
{
    return file + ".vl3_backup";
}

QString ReplaceJournal::writeFailure(const QString& path, const QString& sessionDir)
{
    return QString("Could not record the replacement of '%1' in %2").arg(path, sessionDir);
}

bool ReplaceJournal::keepsAside(const QString& file)
{
    return append(kKeptAside, file);
}

bool ReplaceJournal::creates(const QString& file)
{
    return append(kCreated, file);
}

bool ReplaceJournal::createsDir(const QString& dir)
{
    return append(kCreatedDir, dir);
}

bool ReplaceJournal::commit()
{
    return append(kCommitted, QString());
}

bool ReplaceJournal::append(const char* op, const QString& path)
{
    // Paths may hold any byte but "/" and NUL; encoded, each record is one line.
    const QByteArray line = QByteArray(op) + ' ' + QFile::encodeName(path).toPercentEncoding("/") + '\n';
    const int descriptor =
        ::open(QFile::encodeName(m_Path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor == -1)
        return false;
    // On disk before the change it announces is made.
    bool ok = ::write(descriptor, line.constData(), size_t(line.size())) == ssize_t(line.size())
              && ::fsync(descriptor) == 0;
    ok = ::close(descriptor) == 0 && ok;
    if (!ok)
        qDebug() << "Could not write replacement record" << m_Path;
    return ok;
}

void ReplaceJournal::remove()
{
    QFile::remove(m_Path);
}

ReplaceJournal::Recovery ReplaceJournal::recover(QStringList* obstacles) const
{
    QFile file(m_Path);
    if (!file.open(QIODevice::ReadOnly))
        return NothingToRecover;
    QList<QPair<QByteArray, QString>> records;
    bool committed = false;
    QList<QByteArray> lines = file.readAll().split('\n');
    // A line cut short by the kill announced a change that was never begun.
    lines.removeLast();
    for (const QByteArray& line : qAsConst(lines)) {
        const int space = line.indexOf(' ');
        if (space < 0)
            continue;
        const QByteArray op = line.left(space);
        const QString path = QFile::decodeName(QByteArray::fromPercentEncoding(line.mid(space + 1)));
        if (op == kCommitted)
            committed = true;
        else if (QDir::isAbsolutePath(path))
            records.append(qMakePair(op, path));
    }
    file.close();
    if (records.isEmpty() && !committed) {
        QFile::remove(m_Path);
        return NothingToRecover;
    }

    for (int i = records.size() - 1; i >= 0; --i) {
        const QByteArray& op = records.at(i).first;
        const QString& path = records.at(i).second;
        if (op == kKeptAside) {
            if (committed) {
                QFile::remove(backupPath(path));
            } else {
                const QString reason = putBack(path);
                if (!reason.isEmpty())
                    obstacles->append(QString("'%1' could not be put back from '%2': %3")
                                          .arg(path, backupPath(path), reason));
            }
            PartialFile::removeLeftovers(path);
        } else if (op == kCreated) {
            if (!committed)
                removeCreatedFile(path);
            PartialFile::removeLeftovers(path);
        } else if (op == kCreatedDir && !committed) {
            ::rmdir(QFile::encodeName(path).constData());
        }
    }
    if (!obstacles->isEmpty()) {
        qDebug() << "Replacement step not recovered" << m_Path;
        return Blocked;
    }
    qDebug() << "Recovered replacement step" << m_Path << (committed ? "completed" : "rolled back");
    QFile::remove(m_Path);
    return committed ? Completed : RolledBack;
}
