// A file filled beside the file it is meant to become and put in place by one rename or link
// once it is complete and on disk, so that a failed or killed write leaves the final name as it
// was. It is named as the patcher's writers name theirs, so one clean-up finds every such file.
#pragma once

#include <QByteArray>
#include <QString>

class PartialFile {
public:
    // Creates the empty file beside `finalPath`; see isOpen().
    explicit PartialFile(const QString& finalPath);
    // Removes the file unless it has been put in place.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool isOpen() const { return m_Descriptor != -1; }
    // Fills the file with the bytes and the permission bits of `source` and syncs it.
    bool copyFrom(const QString& source);
    // Puts the file at `name`, replacing what stands there.
    bool replace(const QString& name);
    // Puts the file at `name`, failing when anything stands there already.
    bool add(const QString& name);

    // Removes what interrupted writers left beside `finalPath`.
    static void removeLeftovers(const QString& finalPath);

private:
    bool close();

    QByteArray m_Path;
    int m_Descriptor;
    bool m_Placed;
};
