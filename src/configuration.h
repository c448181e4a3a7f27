// The settings of one updater run: stage, client type, target version, channel, directories and
// download settings, filled from the command line, the channel file and the updater's update.ini.
#pragma once

#include "updatechecker.h"

#include <QObject>
#include <QString>
#include <QStringList>

// Base URL of the file server for this run; every download appends the version number and the
// file's relative path. Set by the channel reader.
extern QString g_downloadBaseUrl;

class Configuration : public QObject {
    Q_OBJECT

public:
    Configuration();

    bool parseCommandLineOptions();
    void getUpdateChannel();
    bool parseClientArguments(const QStringList& args, int index);
    bool parseVersionNumber(const QString& text, const QString& errorFormat);
    bool getDefaultParameters();
    // Takes the given directories, or a new temporary directory and the application directory.
    bool initalizeStart(const QString& tempDir, const QString& installDir);
    bool createTempDir();
    void readUpdateIniSettings();

    static QString getApplicationDir();
    static QString getClientStartScript();
    static QString getConfigDir();
    static QString defaultClientType(bool clientUpdate);
    // The file server's base URL used when no alpha channel names another.
    static QString defaultDownloadBaseUrl();
    // True for a real directory (not a symbolic link) owned by this user and writable by nobody
    // else: only such a directory may be reused for a session, since commands later run from it.
    static bool isPrivateDirectory(const QString& path);
    // True for a directory such as createTempDir makes: directly below the system's temporary
    // directory, named as ours and private. A session record may name nothing else, since a
    // later start deletes the directory it names or runs the session's commands from it.
    static bool isOwnTempDir(const QString& path);

    bool isReady;
    int isClientUpdate;
    int channel;
    QString clientType;
    int version;
    QString versionString;
    QString tempDir;
    QString vl3dir;
    QString proxy;
    int streams;

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

public slots:
    void on_updateAvailable(UpdateVersions versions);
};
