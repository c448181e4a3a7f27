#include "fastfileoptaskspecification.h"

#include "partialfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                         QObject* parent, qreal weight)
    : TaskSpecification(parent, weight), rollbackList(rollbackList), path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    state = RUNNING;
    if (doOp())
        setFinished();
    else
        setFailed();
}

void FastFileOpTaskSpecification::addRollbackData(const RollbackData& data)
{
    if (rollbackList)
        rollbackList->add(data);
}

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                       QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDir(path);
}

bool DirCreateTaskSpecification::createDir(const QString& dir)
{
    const QFileInfo fi(dir);
    if (fi.exists()) {
        if (fi.isDir())
            return true;
        emit message(QString("Could not create dir '%1' because it already exists and is not a dir").arg(dir));
        return false;
    }
    const QDir parent = fi.dir();
    if (parent.path() == "." || fi.isRoot()) {
        emit message(QString("Could not create dir %1").arg(path));
        return false;
    }
    if (!parent.exists() && !createDir(parent.path()))
        return false;
    if (!parent.mkdir(QDir(dir).dirName())) {
        emit message(QString("unable to create dir %1").arg(dir));
        return false;
    }
    addRollbackData(RollbackData(RollbackData::DIR_CREATE, dir));
    return true;
}

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path, bool recursive,
                                                         QObject* parent, qreal weight, const QString& keepDir)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight),
      mustSucceed(mustSucceed),
      recursive(recursive),
      keepDir(keepDir)
{
}

namespace {

// QDir::rmpath() below `keepDir`: removes `path`, then each parent while it is empty and lies
// below `keepDir`. Both are compared as written, the path being `keepDir` followed by more names.
bool removeDirAndEmptyParentsBelow(const QString& path, const QString& keepDir)
{
    QString current = QDir::cleanPath(path);
    if (!QDir().rmdir(current))
        return false;
    const QString floor = QDir::cleanPath(keepDir);
    const QString floorPrefix = floor.endsWith('/') ? floor : floor + '/';
    for (current = QFileInfo(current).path(); current.startsWith(floorPrefix); current = QFileInfo(current).path()) {
        if (!QDir().rmdir(current))
            break;
    }
    return true;
}

} // namespace

bool FileDeleteTaskSpecification::doOp()
{
    // A symbolic link is a name like a file's: the link goes and what it leads to stays, be it a
    // folder or nothing. The path is looked at without a trailing "/" or "/.", which would make
    // the file system resolve a final link.
    const QString name = QDir::cleanPath(path);
    const QFileInfo fi(name);
    bool ok;
    if (fi.isSymLink() || !fi.isDir()) {
        ok = QFile::remove(name);
        qDebug() << "Deleted file" << path << (ok ? "true" : "false");
        if (ok)
            emit message(QString("Deleted file '%1'").arg(path));
    } else if (recursive) {
        ok = QDir(name).removeRecursively();
        qDebug() << "Recursively deleted directory" << path << (ok ? "true" : "false");
        if (ok)
            emit message(QString("Recursively deleted directory '%1'").arg(path));
    } else {
        ok = keepDir.isEmpty() ? QDir().rmpath(path) : removeDirAndEmptyParentsBelow(path, keepDir);
        qDebug() << "Deleted directory" << path << (ok ? "true" : "false");
        if (ok)
            emit message(QString("Deleted directory '%1'").arg(path));
    }
    if (ok || !mustSucceed)
        return true;
    emit message(QString("Could not delete '%1'").arg(path));
    return false;
}

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& fromPath, const QString& toPath,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(toPath, rollbackList, parent, weight), fromPath(fromPath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QString dir = QFileInfo(path).path();
    if (!QDir().exists(dir))
        QDir().mkdir(dir);
    if (QFile::rename(fromPath, path)) {
        addRollbackData(RollbackData(RollbackData::FILE_RENAME, fromPath, path));
        return true;
    }
    emit message(QString("Could not rename '%1' to '%2'").arg(fromPath, path));
    return false;
}

FileBackupTaskSpecification::FileBackupTaskSpecification(const QString& file, const QString& backup,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(file, rollbackList, parent, weight), backup(backup)
{
}

bool FileBackupTaskSpecification::doOp()
{
    // A backup that outlived an earlier step is no record of the file as it stands now.
    QFile::remove(backup);
    bool kept = ::link(QFile::encodeName(path).constData(), QFile::encodeName(backup).constData()) == 0;
    if (!kept) {
        PartialFile copy(path);
        kept = copy.copyFrom(path) && copy.replace(backup);
    }
    qDebug() << "Keep backup" << path << backup << kept;
    if (!kept) {
        emit message(QString("Could not back up '%1' to '%2'").arg(path, backup));
        return false;
    }
    addRollbackData(RollbackData(RollbackData::FILE_RENAME, path, backup));
    return true;
}
