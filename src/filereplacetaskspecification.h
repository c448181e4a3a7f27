// Puts one file of the client in place in the second stage of an update: copies a new file, or
// patches or unpacks over an installed one and checks the result against its digest, then sets
// the executable flags of files that need them. An installed file stays at its name until the new
// one is renamed over it, with a backup beside it. Its own file operations are undone at once when
// it fails; on success they go to the list above, which undoes them if a later file fails. Every
// change is announced in the session's replacement record first.
#pragma once

#include "composedtaskspecification.h"
#include "rollback.h"
#include "updatelists.h"

#include <QString>
#include <QStringList>

class Configuration;
class ReplaceJournal;

// File names and complete suffixes of the files that get executable flags once installed.
extern const QStringList executableFileNames;
extern const QStringList executableFileSuffixes;

class FileReplaceTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // Nothing is owned but the copy of the entry and the task's own rollback list.
    FileReplaceTaskSpecification(const ListEntry& entry, RollbackDataList* parentRollbackList,
                                 Configuration* configuration, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void subtasksDone() override;

    // Adds execute flags to a file whose name or complete suffix asks for them: for the owner,
    // and for group and others where they may read it. Nobody gains write access.
    static void makeSingleFileExecutable(const QString& path);
    // Why the entry may not be installed, or empty: its install path must name a file below the
    // client directory by itself (links already there are followed), and the files it reads and
    // writes in the temporary directory must stay there.
    static QString refusal(const ListEntry& entry, const Configuration* configuration);
    // The file that a write to `target` changes: links on the way, the last name included, are
    // followed as a plain write follows them.
    static QString finalPath(const QString& target);

private:
    void makeSubtasksAndStart();
    // Copies the installed file to the old copy in the temporary directory, which the patch reads.
    void saveOldCopy(const QString& oldCopy);
    // Announces a change in the session's record before it is made; a record that cannot be
    // written fails the task, since a killed run could then not be recovered.
    bool record(bool (ReplaceJournal::*announce)(const QString&), const QString& file);
    // Gives the new file the mode of the installed file it replaced, as a write in place would.
    void keepInstalledMode();

    ListEntry m_Entry;
    RollbackDataList* m_ParentRollbackList;
    RollbackDataList m_RollbackList;
    Configuration* m_Configuration;
    QString m_Target;
    QString m_Final;
    TaskSpecification* m_Backup;
};
