// An exclusive lock on a file, held until released or until the process ends however it ends (a
// crash leaves no stale lock), and not inherited by the programs the process starts.
#pragma once

#include <QString>

class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    enum Outcome { Held, HeldByOther, CannotOpen };

    // Locks `file`, creating it, and gives up a lock on another file; waits up to `waitMs` for
    // another holder to let go. Held at once when this lock already holds `file`.
    Outcome acquire(const QString& file, int waitMs);
    void release();

private:
    QString m_File;
    int m_Descriptor = -1;
};
