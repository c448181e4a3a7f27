#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "fastfileoptaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(const QList<DeleteEntry>* deleteList,
                                                                 Configuration* configuration, QObject* parent,
                                                                 qreal weight)
    : ComposedTaskSpecification(1, parent, weight), deleteList(deleteList), configuration(configuration)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

QString FileDeleteListTaskSpecification::confinedPath(const QString& clientDir, const QString& entryPath)
{
    if (entryPath.isEmpty() || QDir::isAbsolutePath(entryPath) || entryPath.split('/').contains(QStringLiteral("..")))
        return QString();
    if (QDir::cleanPath(entryPath) == QLatin1String("."))
        return QString();
    const QString root = QDir(clientDir).canonicalPath();
    if (root.isEmpty())
        return QString();
    const QString rootPrefix = root.endsWith('/') ? root : root + '/';

    const QString path = QFileInfo(QDir(clientDir), entryPath).filePath();
    // A missing entry is judged by its nearest existing ancestor; a link, even a dangling one,
    // is judged by where it leads.
    QFileInfo info(QDir::cleanPath(path));
    const bool entryExists = info.exists() || info.isSymLink();
    while (!info.exists() && !info.isSymLink() && info.filePath() != info.path())
        info = QFileInfo(info.path());
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !(canonical + '/').startsWith(rootPrefix))
        return QString();
    if (entryExists && canonical == root)
        return QString();
    return path;
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    QList<QPair<QString, bool>> accepted;
    for (const DeleteEntry& entry : *deleteList) {
        const QString path = confinedPath(configuration->vl3dir, entry.path);
        if (path.isEmpty())
            emit message(QStringLiteral("Refusing to delete '%1': it lies outside the client directory").arg(entry.path));
        else
            accepted.append(qMakePair(path, entry.recursive));
    }
    const qreal share = accepted.isEmpty() ? 0.0 : 1.0 / accepted.size();
    for (const auto& item : qAsConst(accepted))
        addTask(new FileDeleteTaskSpecification(false, item.first, item.second, this, share, configuration->vl3dir));
    state = RUNNING;
    startSubtasks();
}

void FileDeleteListTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    TaskSpecification::reset();
}
