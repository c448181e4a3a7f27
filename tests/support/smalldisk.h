// A small tmpfs mounted over a folder, for writes that run out of space. Mounting needs root,
// as CI has.
#pragma once

#include <QString>

class SmallDisk {
public:
    // Mounts the disk over `folder`, with the folder's content, owner and mode 0700, and
    // `sparePages` free pages beyond that content (together at least one page: a tmpfs of size 0
    // is unbounded); see mounted().
    SmallDisk(const QString& folder, int sparePages);
    // Unmounts the disk, with all it holds.
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return m_Mounted; }
    // Leaves `sparePages` pages free beyond what the disk holds now.
    bool grow(int sparePages);

private:
    QString m_Folder;
    bool m_Mounted = false;
};
