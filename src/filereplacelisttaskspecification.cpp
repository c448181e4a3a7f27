#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "fastfileoptaskspecification.h"
#include "filereplacetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <algorithm>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(const QList<ListEntry>* replaceList,
                                                                   Configuration* configuration, QObject* parent,
                                                                   qreal weight)
    : ComposedTaskSpecification(2, parent, weight), m_ReplaceList(replaceList), m_Configuration(configuration)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    state = RUNNING;
    // Checked before the first folder is made, so that a refused list changes nothing.
    if (refuseUnsafeEntries()) {
        setFailed();
        return;
    }
    createReplaceTasks(createDirTasks() > 0);
    startSubtasks();
}

bool FileReplaceListTaskSpecification::refuseUnsafeEntries()
{
    bool refused = false;
    for (const ListEntry& entry : *m_ReplaceList) {
        const QString text = FileReplaceTaskSpecification::refusal(entry, m_Configuration);
        if (!text.isEmpty()) {
            emit message(text);
            refused = true;
        }
    }
    return refused;
}

int FileReplaceListTaskSpecification::createDirTasks()
{
    const QDir client(m_Configuration->vl3dir);
    QSet<QString> seen;
    QStringList missing;
    for (const ListEntry& entry : *m_ReplaceList) {
        const QFileInfo target(client, entry.effectivePath());
        const QString folder = target.path();
        if (seen.contains(folder))
            continue;
        seen.insert(folder);
        if (!target.dir().exists())
            missing.append(folder);
    }
    missing.sort(Qt::CaseSensitive);
    for (const QString& folder : qAsConst(missing))
        addTask(new DirCreateTaskSpecification(folder, &m_RollbackList, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::createReplaceTasks(bool dirTasksAdded)
{
    const qreal share = (dirTasksAdded ? 0.9 : 1.0) / std::max(1, int(m_ReplaceList->size()));
    for (const ListEntry& entry : *m_ReplaceList)
        addTask(new FileReplaceTaskSpecification(entry, &m_RollbackList, m_Configuration, this, share));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    const bool allFinished = std::all_of(tasks.begin(), tasks.end(), [](const TaskSpecification* task) {
        return task->state == TaskSpecification::FINISHED;
    });
    if (allFinished) {
        discardMovedAsideFiles();
    } else {
        emit message(QStringLiteral("rolling back file updates"));
        m_RollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::discardMovedAsideFiles()
{
    // Every rename of this step moved an installed file aside. With them gone the step can no
    // longer be undone, so its records go too: a later reset leaves the new files in place.
    for (int i = 0; i < m_RollbackList.size(); ++i) {
        const RollbackData& record = m_RollbackList.at(i);
        if (record.op == RollbackData::FILE_RENAME)
            qDebug() << "Remove replaced file" << record.path << QFile::remove(record.path);
    }
    m_RollbackList.clear();
}

void FileReplaceListTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    m_RollbackList.rollback(this);
    TaskSpecification::reset();
}
