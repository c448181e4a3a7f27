#include "configuration.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QWidget>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

QString g_downloadBaseUrl;

namespace {

const char* const kPlatformSuffix = "_linux_amd64";
const char* const kTempDirPrefix = "voxlane_temp_";
const int kNumberedTempDirs = 1000;

QWidget* mainWindowWidget()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("MainWindow"))
            return widget;
    }
    return nullptr;
}

} // namespace

Configuration::Configuration()
    : QObject(nullptr)
    , isReady(false)
    , isClientUpdate(0)
    , channel(0)
    , version(0)
    , streams(0)
{
}

QString Configuration::getApplicationDir()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::getClientStartScript()
{
    return QStringLiteral("vl3client_runscript.sh");
}

QString Configuration::getConfigDir()
{
    QString dir = QProcessEnvironment::systemEnvironment().value(QStringLiteral("VL3_CONFIG_DIR"));
    if (dir.isEmpty())
        return QDir::homePath() + "/.vl3client/";
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return dir;
}

QString Configuration::defaultClientType(bool clientUpdate)
{
    return QString(clientUpdate ? "client" : "update") + kPlatformSuffix;
}

QString Configuration::defaultDownloadBaseUrl()
{
    return QStringLiteral(VL_DOWNLOAD_BASE_URL);
}

bool Configuration::isPrivateDirectory(const QString& path)
{
    if (path.isEmpty())
        return false;
    // Without a trailing separator, which would make lstat follow a final symbolic link.
    struct stat st;
    if (::lstat(QFile::encodeName(QDir::cleanPath(path)).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool Configuration::isOwnTempDir(const QString& path)
{
    if (!QDir::isAbsolutePath(path))
        return false;
    const QFileInfo info(QDir::cleanPath(path));
    // A number below 1000, or the six characters that mkdtemp picks.
    static const QRegularExpression ownName(QStringLiteral("^%1(\\d{1,3}|[A-Za-z0-9]{6})$").arg(kTempDirPrefix));
    return info.path() == QDir::cleanPath(QDir::tempPath()) && ownName.match(info.fileName()).hasMatch()
        && isPrivateDirectory(info.filePath());
}

bool Configuration::parseCommandLineOptions()
{
    const QStringList args = QCoreApplication::arguments();
    const int n = args.size();
    qDebug() << "parseCommandLineOptions" << args;

    isClientUpdate = (n >= 2 && args[1] == QLatin1String("--clientupdate")) ? 1 : 0;
    getUpdateChannel();

    if (n >= 2 && (args[1] == QLatin1String("--nouser") || args[1] == QLatin1String("--clientupdate"))) {
        qDebug() << "CLIENTUPDATE" << (isClientUpdate ? "true" : "false");
        if (n >= 4) {
            if (!parseClientArguments(args, 2))
                return false;
            if (n >= 5 && args[4] != QLatin1String("#"))
                versionString = args[4];
        }
        getDefaultParameters();
        isReady = version != 0;
        return true;
    }

    if (n == 3) {
        if (!parseClientArguments(args, 1))
            return false;
        isReady = true;
        return true;
    }

    qDebug() << "Empty cmdline params";
    getDefaultParameters();
    isReady = version != 0;
    return true;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString iniPath = getConfigDir() + "update.ini";
    bool found = QFile::exists(iniPath);
    qDebug() << "Update ini check #1 in CONFIG" << iniPath << (found ? "true" : "false");
    if (found) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        iniPath = QCoreApplication::applicationDirPath() + "/" + "update.ini";
        found = QFile::exists(iniPath);
        qDebug() << "Update ini check #2 in INSTALL" << iniPath << (found ? "true" : "false");
        if (found)
            qDebug() << "Found INSTALL/update.ini";
    }

    if (!found) {
        channel = 0;
        version = 0;
        g_downloadBaseUrl = defaultDownloadBaseUrl();
        qDebug() << "No update.ini found, using stable channel, URL =" << g_downloadBaseUrl;
        return;
    }

    QSettings settings(iniPath, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (alpha.isEmpty()) {
        channel = beta ? 1 : 0;
        version = 0;
        g_downloadBaseUrl = defaultDownloadBaseUrl();
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << g_downloadBaseUrl;
    } else {
        channel = 2;
        version = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        g_downloadBaseUrl = alpha.endsWith('/') ? alpha : alpha + '/';
        qDebug() << "Alpha channel detected, URL =" << g_downloadBaseUrl;
    }
    settings.endGroup();
}

bool Configuration::parseClientArguments(const QStringList& args, int index)
{
    if (index < 0 || index >= args.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    clientType = args[index];
    if (index + 1 >= args.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return parseVersionNumber(args[index + 1], QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::parseVersionNumber(const QString& text, const QString& errorFormat)
{
    if (version != 0)
        return true;
    bool ok = false;
    version = text.toInt(&ok, 10);
    if (ok)
        return true;
    emit fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << clientType;
    if (clientType.isEmpty())
        clientType = defaultClientType(isClientUpdate != 0);
    qDebug() << "clientType" << clientType;
    if (version != 0)
        return true;

    UpdateChecker* checker = new UpdateChecker(this);
    connect(checker, SIGNAL(update_available(UpdateVersions)), this, SLOT(on_updateAvailable(UpdateVersions)));
    checker->check();
    return true;
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        QMessageBox::critical(mainWindowWidget(), QObject::tr("Error"),
                              QObject::tr("Failed to query latest client\nversion from update server."),
                              QMessageBox::Abort);
        QCoreApplication::quit();
        return;
    }

    const QPair<QString, QString> entry = versionForChannel(versions, channel);
    qDebug() << "Received version from remote server:" << entry;
    if (entry.first.isEmpty()) {
        emit fatalError(QObject::tr("Update server returned no version"));
        return;
    }
    if (!parseVersionNumber(entry.first, QObject::tr("Update server returned invalid version nr (%1)")))
        return;
    versionString = entry.second;
    isReady = true;
    emit ready();
}

bool Configuration::initalizeStart(const QString& tempDir, const QString& installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty() && isOwnTempDir(tempDir)) {
        this->tempDir = tempDir;
    } else {
        if (!tempDir.isEmpty())
            qDebug() << "Not reusing a directory that is not a private session directory:" << tempDir;
        if (!createTempDir())
            return false;
    }
    vl3dir = installDir.isEmpty() ? QCoreApplication::applicationDirPath() : installDir;
    return true;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith('/'))
        base += '/';
    base += QLatin1String(kTempDirPrefix);

    for (int n = 0; n < kNumberedTempDirs; ++n) {
        const QString candidate = base + QString::number(n);
        // mkdir fails on any existing entry, dangling symbolic links included, so nobody can
        // slip a directory of their own in between the test and the creation.
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0) {
            tempDir = candidate;
            return true;
        }
    }
    // Other accounts can take every numbered name in the shared folder; they cannot guess this one.
    QByteArray unguessable = QFile::encodeName(base + "XXXXXX");
    if (::mkdtemp(unguessable.data())) {
        tempDir = QFile::decodeName(unguessable);
        return true;
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdateIniSettings()
{
    QSettings settings(QDir(getApplicationDir()).absoluteFilePath(QStringLiteral("update.ini")),
                       QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy"), QString()).toString();
    streams = settings.value(QStringLiteral("streams"), 6).toInt();
    if (streams < 1)
        streams = 6;
    settings.endGroup();
}
