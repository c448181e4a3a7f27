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
    // without any setting is deleted. Where that cannot be written, the file stays as it was.
    static void remove();
    // Removes the record from the update.ini at `iniPath` when it names the session directory
    // `dir`, in the same way: the second stage ends the session that the first stage recorded.
    static void removeSession(const QString& iniPath, const QString& dir);
    // Writes the four keys of "current", keeping the rest of the file; true only when the file on
    // disk holds them. Otherwise the file stays as it was and `failure` gets the system's reason.
    static bool modify(int version, const QString& dir, const QString& vl3dir, const QString& type,
                       QString* failure = nullptr);
    // Copies the record into tempDir/update.ini for the second stage, with its client type, and
    // the user's channel and download settings with it; checked and reported as modify() is.
    static bool modifyTempIni(const QString& tempDir, QString* failure = nullptr);
};
