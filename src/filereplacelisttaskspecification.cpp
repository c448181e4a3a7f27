#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "fastfileoptaskspecification.h"
#include "filereplacetaskspecification.h"
#include "replacejournal.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
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
    if (!chooseEntries()) {
        setFailed();
        return;
    }
    if (!recordMissingFolders()) {
        setFailed();
        return;
    }
    createReplaceTasks(createDirTasks() > 0);
    startSubtasks();
}

bool FileReplaceListTaskSpecification::chooseEntries()
{
    m_Entries.clear();
    QHash<QString, ListEntry> byFile;
    bool refused = false;
    for (const ListEntry& entry : *m_ReplaceList) {
        QString text = FileReplaceTaskSpecification::refusal(entry, m_Configuration);
        if (text.isEmpty()) {
            // A link and the file it leads to may both be listed: one write serves both names,
            // and two at once would each take the other's backup for the installed file.
            const QString file = FileReplaceTaskSpecification::finalPath(
                QFileInfo(QDir(m_Configuration->vl3dir), entry.effectivePath()).filePath());
            const auto earlier = byFile.constFind(file);
            if (earlier == byFile.constEnd()) {
                byFile.insert(file, entry);
                m_Entries.append(entry);
                continue;
            }
            if (earlier->sha512 == entry.sha512 && earlier->hasOverridePath() == entry.hasOverridePath()) {
                qDebug() << "Replaced with" << earlier->effectivePath() << entry.effectivePath();
                continue;
            }
            text = QString("Refusing to replace '%1': '%2' leads to the same file")
                       .arg(entry.effectivePath(), earlier->effectivePath());
        }
        emit message(text);
        refused = true;
    }
    return !refused;
}

int FileReplaceListTaskSpecification::createDirTasks()
{
    const QDir client(m_Configuration->vl3dir);
    QSet<QString> seen;
    QStringList missing;
    for (const ListEntry& entry : m_Entries) {
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

bool FileReplaceListTaskSpecification::recordMissingFolders()
{
    // Outermost first, as they will be made; a folder that exists by then is left alone.
    QStringList folders;
    for (const ListEntry& entry : m_Entries) {
        QStringList chain;
        for (QFileInfo folder(QFileInfo(QDir(m_Configuration->vl3dir), entry.effectivePath()).path());
             !folder.exists() && !folder.isSymLink() && folder.filePath() != folder.path();
             folder = QFileInfo(folder.path()))
            chain.prepend(FileReplaceTaskSpecification::finalPath(folder.filePath()));
        for (const QString& folder : qAsConst(chain)) {
            if (!folders.contains(folder))
                folders.append(folder);
        }
    }
    ReplaceJournal journal(m_Configuration->tempDir);
    for (const QString& folder : qAsConst(folders)) {
        if (!journal.createsDir(folder)) {
            emit message(ReplaceJournal::writeFailure(folder, m_Configuration->tempDir));
            return false;
        }
    }
    return true;
}

void FileReplaceListTaskSpecification::createReplaceTasks(bool dirTasksAdded)
{
    const qreal share = (dirTasksAdded ? 0.9 : 1.0) / std::max(1, int(m_Entries.size()));
    for (const ListEntry& entry : m_Entries)
        addTask(new FileReplaceTaskSpecification(entry, &m_RollbackList, m_Configuration, this, share));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    const bool allFinished = std::all_of(tasks.begin(), tasks.end(), [](const TaskSpecification* task) {
        return task->state == TaskSpecification::FINISHED;
    });
    const bool committed = allFinished && commit();
    if (!committed) {
        emit message(QStringLiteral("rolling back file updates"));
        rollBack();
    }
    if (allFinished && !committed)
        setFailed();
    else
        ComposedTaskSpecification::subtasksDone();
}

bool FileReplaceListTaskSpecification::commit()
{
    ReplaceJournal journal(m_Configuration->tempDir);
    if (!journal.commit()) {
        emit message(ReplaceJournal::writeFailure(m_Configuration->vl3dir, m_Configuration->tempDir));
        return false;
    }
    // Every rename record of this step keeps an installed file as a backup. With them gone the
    // step can no longer be undone, so its records go too: a later reset leaves the new files.
    for (int i = 0; i < m_RollbackList.size(); ++i) {
        const RollbackData& record = m_RollbackList.at(i);
        if (record.op == RollbackData::FILE_RENAME)
            qDebug() << "Remove replaced file" << record.path << QFile::remove(record.path);
    }
    m_RollbackList.clear();
    journal.remove();
    return true;
}

void FileReplaceListTaskSpecification::rollBack()
{
    if (m_RollbackList.rollback(this))
        ReplaceJournal(m_Configuration->tempDir).remove();
}

void FileReplaceListTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    rollBack();
    TaskSpecification::reset();
}
