// Quick file-system operations that run synchronously inside execute() on the GUI thread:
// directory creation (recorded for rollback), deletion, rename, and the backup of an installed
// file before it is replaced.
#pragma once

#include "rollback.h"
#include "taskspecification.h"

class FastFileOpTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent, qreal weight);

    // Runs the operation; the task has ended when this returns.
    void execute() override;
    // Performs the operation and sends its own texts; returns success.
    virtual bool doOp() = 0;

protected:
    void addRollbackData(const RollbackData& data);

    RollbackDataList* rollbackList;
    QString path;
};

class DirCreateTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent, qreal weight);
    bool doOp() override;

private:
    // Creates `dir` and its missing parents, outermost first, recording each one made.
    bool createDir(const QString& dir);
};

class FileDeleteTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    // A directory removed without `recursive` takes its parents along while they are empty; with
    // `keepDir` set, that stops below `keepDir`, so the walk never leaves the folder it serves.
    FileDeleteTaskSpecification(bool mustSucceed, const QString& path, bool recursive, QObject* parent, qreal weight,
                                const QString& keepDir = QString());
    bool doOp() override;

private:
    bool mustSucceed;
    bool recursive;
    QString keepDir;
};

class FileRenameTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& fromPath, const QString& toPath, RollbackDataList* rollbackList,
                                QObject* parent, qreal weight);
    bool doOp() override;

private:
    QString fromPath;
};

// Keeps an installed file reachable at its backup name while a new file is made for it: a hard
// link, or a complete copy where the file system has none. The file itself stays where it is, so
// its name is never missing; the record puts the backup back over whatever then stands there.
class FileBackupTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT

public:
    FileBackupTaskSpecification(const QString& file, const QString& backup, RollbackDataList* rollbackList,
                                QObject* parent, qreal weight);
    bool doOp() override;

private:
    QString backup;
};
