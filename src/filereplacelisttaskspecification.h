// The second stage's step that changes the client's install directory: makes the missing folders
// of the replace list, then puts every listed file in place, two at a time. If anything fails or
// the user cancels, every folder made and every file operation of the step is undone, newest first,
// and the installed files that were patched or unpacked over come back as they were.
#pragma once

#include "composedtaskspecification.h"
#include "rollback.h"
#include "updatelists.h"

#include <QList>

class Configuration;

class FileReplaceListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // The list is read when the task executes; neither pointer is owned.
    FileReplaceListTaskSpecification(const QList<ListEntry>* replaceList, Configuration* configuration,
                                     QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void subtasksDone() override;

    // Adds one folder creation per missing folder, parents first; returns how many.
    int createDirTasks();
    void createReplaceTasks(bool dirTasksAdded);

private:
    // Picks the entries to put in place: once per file, a later name of an already listed file
    // (through a link) being skipped. Sends the refusal of every entry whose paths leave their
    // directories or that asks for other content than an earlier entry of its file; false then.
    bool chooseEntries();
    // Announces the folders that the step will make in the session's replacement record.
    bool recordMissingFolders();
    // Once every file is in place and verified, the step is recorded as done and the backups of
    // the installed files go.
    bool commit();
    // Undoes the step; its record goes once nothing of it is left to undo.
    void rollBack();

    const QList<ListEntry>* m_ReplaceList;
    QList<ListEntry> m_Entries;
    RollbackDataList m_RollbackList;
    Configuration* m_Configuration;
};
