// A file filled beside the file it is meant to become and put in place by one rename or link
// once it is complete and on disk, so that a failed or killed write leaves the final name as it
// was. It is named as the patcher's writers name theirs, so one clean-up finds every such file.
#pragma once

#include <QByteArray>
#include <QString>

class PartialFile {
public:
    // Creates the empty file beside the file that a write to `target` changes (a symbolic link
    // there is followed); see isOpen().
    explicit PartialFile(const QString& target);
    // Removes the file unless it has been put in place.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool isOpen() const { return m_Descriptor != -1; }
    // Fills the file with the bytes and the permission bits of `source`.
    bool copyFrom(const QString& source);
    // Syncs the file and puts it at `name`, replacing what stands there and keeping the
    // permission bits of a file it replaces.
    bool replace(const QString& name);
    // Syncs the file and puts it at `name`, failing when anything stands there already.
    bool add(const QString& name);

    // Removes what interrupted writers left beside `finalPath`.
    static void removeLeftovers(const QString& finalPath);

private:
    bool write(const char* bytes, qint64 size);
    // Synced before it is put in place: after a crash the name holds the old file or this one.
    bool finish();

    QByteArray m_Path;
    int m_Descriptor;
    bool m_Placed;
};
