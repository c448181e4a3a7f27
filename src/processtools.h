// Starts the programs that follow an update stage: the client's launch script or the new updater.
#pragma once

#include <QString>
#include <QStringList>

class FileLock;

class ProcessTools {
public:
    // Runs dir/vl3client_runscript.sh detached, without arguments, in `dir`; false when it could
    // not be started, with the script and the system's reason in `failure`.
    static bool startVl3Client(const QString& dir, QString* failure);
    // Runs dir/update detached with `arguments` in `dir`, handing it `session`; false when it is
    // missing or could not be started.
    static bool startClientUpdater(const QString& dir, const QStringList& arguments, const FileLock& session);
};
