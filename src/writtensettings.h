// Checks on an ini file that QSettings has just written. QSettings keeps no error of the
// system's, Qt 5 counts a write that ran out of space as done (leaving an empty file), and a
// QSettings opened on the same path later in the process may answer from its cache instead of
// the file.
#pragma once

#include <QString>
#include <QVariantMap>

class WrittenSettings {
public:
    // The keys of `group` as the file at `path` holds them on disk; empty when it cannot be read.
    static QVariantMap groupOnDisk(const QString& path, const QString& group);
    // Why an ini file of `bytes` cannot be written at `path`: the system's reason met by the steps
    // of such a write, taken again; empty when they all succeed.
    static QString whyUnwritable(const QString& path, qint64 bytes);
};
