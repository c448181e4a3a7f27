// What the replacement of the client's files is about to change, written to the session's private
// temporary directory before each change is made: installed files kept aside as backups, files
// and folders that did not exist, and at the end that every file is in place and verified. A start
// after a killed run reads it before anything else and either completes the step (it had been
// verified) or returns the client to exactly what it was.
#pragma once

#include <QString>
#include <QStringList>

class ReplaceJournal {
public:
    enum Recovery { NothingToRecover, Completed, RolledBack, Blocked };

    explicit ReplaceJournal(const QString& sessionDir);

    // Where an installed file is kept while its replacement is made: beside it, on its file system.
    static QString backupPath(const QString& file);

    // The text for a change to `path` that could not be announced in the record in `sessionDir`.
    static QString writeFailure(const QString& path, const QString& sessionDir);

    // Each returns false when the record could not be written to disk.
    bool keepsAside(const QString& file);
    bool creates(const QString& file);
    bool createsDir(const QString& dir);
    // Every file is in place and verified: from now on the step is finished, never undone.
    bool commit();
    // The step has been finished or undone completely.
    void remove();

    // Finishes or undoes the step that a killed run left, as its record says, and removes the
    // record; backups, unfinished writes and, when undone, created files and folders are gone.
    // Blocked when an installed file cannot be put back: `obstacles` then names each such file
    // and why, and the record stays, so that a later start tries again.
    Recovery recover(QStringList* obstacles) const;

private:
    bool append(const char* op, const QString& path);

    QString m_Path;
};
