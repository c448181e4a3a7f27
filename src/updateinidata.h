// The session record: target version, temporary directory, client directory and client type in
// the group "current" of the update.ini beside the running executable. Every call opens the file.
#pragma once

#include <QString>

// Absolute path of update.ini in the application directory.
QString updateIniPath();

class UpdateIniData {
public:
    // Fills the non-null pointers from a valid record and returns true; otherwise stores nothing.
    static bool get(int* version, QString* type, QString* dir, QString* vl3dir);
    // Removes the session record; the user's other settings in the file stay, and a file left
    // without any setting is deleted.
    static void remove();
    // As remove(), for the update.ini at `iniPath`, and only when its record names the session
    // directory `dir`.
    static void removeAt(const QString& iniPath, const QString& dir);
    // Writes the four keys of "current", keeping the rest of the file.
    static bool modify(int version, const QString& dir, const QString& vl3dir, const QString& type);
    // As modify(), for the update.ini at `iniPath`.
    static bool modifyAt(const QString& iniPath, int version, const QString& dir, const QString& vl3dir,
                         const QString& type);
    // Copies the record into tempDir/update.ini for the second stage, with its client type, and
    // the user's channel and download settings with it.
    static bool modifyTempIni(const QString& tempDir);
};
