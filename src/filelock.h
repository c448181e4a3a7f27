// An exclusive lock on a file, held until released or until the process ends however it ends (a
// crash leaves no stale lock), and not inherited by the programs the process starts unless it is
// handed to one of them.
#pragma once

#include <QString>

class QProcess;

class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    enum Outcome { Held, HeldByOther, CannotOpen };

    // Locks `file`, creating it, and gives up a lock on another file; waits up to `waitMs` for
    // another holder to let go. Held at once when this lock already holds `file`, or when the
    // lock handed over to this process is on `file`.
    Outcome acquire(const QString& file, int waitMs);
    void release();

    // Starts `process` detached, holding this lock together with this process from its start on:
    // the lock passes to it without a moment in which nobody holds it, and stays until both have
    // let go. Without a lock held, the process starts as any other.
    bool startDetachedHolding(QProcess* process) const;
    // Takes the lock that the program which started this process handed over, if any, so that
    // acquire() holds it; the programs that this process starts inherit neither it nor its note.
    void takeHandedOver();

private:
    // Holds `descriptor`, inherited and open on `file`, when it carries the lock.
    bool adopt(int descriptor, const QString& file);

    QString m_File;
    int m_Descriptor = -1;
    // Handed over and not yet adopted by acquire().
    int m_HandedOver = -1;
};
