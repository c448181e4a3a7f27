#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "confineddirectory.h"
#include "fastfileoptaskspecification.h"

#include <QDir>
#include <QFileInfo>

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
    if (!ConfinedDirectory::isRelativeBelow(entryPath))
        return QString();
    // The entry's last name is removed as a name: a link there goes itself and is never followed,
    // so only the folder that holds the name must lie in the client directory.
    const QString path = QFileInfo(QDir(clientDir), entryPath).filePath();
    const QString folder = QFileInfo(QDir::cleanPath(path)).path();
    if (ConfinedDirectory(clientDir).resolveInside(folder).isEmpty())
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
