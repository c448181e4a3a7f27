// The first stage's last file step: builds the changed files of the new updater in the session's
// temporary directory (unpacking downloaded files, patching installed copies, checking each
// against the product ini's digest), then makes the new updater executable, writes the session
// copy for the second stage and copies the translations.
#pragma once

#include "composedtaskspecification.h"
#include "updatelists.h"

#include <QList>

class Configuration;

class UpdateSelfUnzipTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // At most two unpack or patch workers run at once.
    static constexpr int kMaxParallel = 2;

    // The list is read when the task executes; neither pointer is owned.
    UpdateSelfUnzipTaskSpecification(const QList<ListEntry>* replaceList, Configuration* configuration,
                                     QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    // Runs whatever the subtasks' end states; a session copy that cannot be written fails the task.
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    // False (after the message) when an entry's paths lead outside the temporary directory.
    bool checkPaths();
    void addUnpack(const ListEntry& entry);
    void addPatch(const ListEntry& entry);
    // Adds `writer`, which writes the entry's file, followed by the check of its digest.
    void addChecked(const ListEntry& entry, TaskSpecification* writer);
    void copyTranslations();

    const QList<ListEntry>* m_ReplaceList;
    Configuration* m_Configuration;
};
