#include "updateinidata.h"

#include "configuration.h"
#include "wholeinifile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMetaEnum>
#include <QSettings>
#include <QVariant>

namespace {

const char* const kGroup = "current";

// Copies every key of `group` from `from` into `to`.
void copyGroup(QSettings& from, QSettings& to, const QString& group)
{
    from.beginGroup(group);
    to.beginGroup(group);
    for (const QString& key : from.allKeys())
        to.setValue(key, from.value(key));
    to.endGroup();
    from.endGroup();
}

struct Record {
    int version;
    QString dir;
    QString vl3dir;
    QString type;
};

void setRecord(QSettings& settings, const Record& record)
{
    settings.beginGroup(kGroup);
    settings.setValue(QStringLiteral("version"), record.version);
    settings.setValue(QStringLiteral("dir"), record.dir);
    settings.setValue(QStringLiteral("vl3dir"), record.vl3dir);
    settings.setValue(QStringLiteral("type"), record.type);
    settings.endGroup();
}

// Removes the group of the record from the file at `path`, and the file when nothing is left.
// A record that cannot be taken away stays: it leads nowhere, since its directory is gone by then.
void removeRecord(const QString& path)
{
    QString reason;
    if (!WholeIniFile(path).change([](QSettings& settings) { settings.remove(kGroup); }, &reason))
        qDebug() << "The record stays in" << path << reason;
}

// A write's outcome by the name QSettings gives it: lines that Qt cannot read are left out, not
// a failure, so a write either holds or failed to reach the disk.
const char* statusName(bool written)
{
    return QMetaEnum::fromType<QSettings::Status>().valueToKey(written ? QSettings::NoError : QSettings::AccessError);
}

} // namespace

QString updateIniPath()
{
    return QDir(Configuration::getApplicationDir()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int* version, QString* type, QString* dir, QString* vl3dir)
{
    const QString path = updateIniPath();
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(kGroup);
    bool versionOk = false;
    const int recordedVersion = settings.value(QStringLiteral("version"), QVariant()).toInt(&versionOk);
    const QString recordedDir = settings.value(QStringLiteral("dir"), QVariant()).toString();
    const QString recordedVl3dir = settings.value(QStringLiteral("vl3dir"), QVariant()).toString();
    const QString recordedType = settings.value(QStringLiteral("type"), QVariant()).toString();
    settings.endGroup();
    qDebug() << "get" << path << recordedVersion << recordedDir << recordedVl3dir << recordedType;

    // The session's temporary directory is reused, runs install commands and is deleted when
    // another version starts: a directory that is not one of ours does not count as a session.
    if (!versionOk || recordedType.isEmpty() || recordedDir.isEmpty() || !Configuration::isOwnTempDir(recordedDir))
        return false;

    if (version)
        *version = recordedVersion;
    if (type)
        *type = recordedType;
    if (dir)
        *dir = recordedDir;
    if (vl3dir)
        *vl3dir = recordedVl3dir;
    return true;
}

void UpdateIniData::remove()
{
    removeRecord(updateIniPath());
}

void UpdateIniData::removeSession(const QString& iniPath, const QString& dir)
{
    if (!QFile::exists(iniPath))
        return;
    const QString recorded =
        QSettings(iniPath, QSettings::IniFormat).value(QLatin1String(kGroup) + QLatin1String("/dir")).toString();
    qDebug() << "removeSession" << iniPath << recorded << dir;
    if (!recorded.isEmpty() && QDir::cleanPath(recorded) == QDir::cleanPath(dir))
        removeRecord(iniPath);
}

bool UpdateIniData::modify(int version, const QString& dir, const QString& vl3dir, const QString& type,
                          QString* failure)
{
    const QString path = updateIniPath();
    qDebug() << "modify" << path << version << dir << vl3dir << type;
    const Record record{version, dir, vl3dir, type};
    const bool written = WholeIniFile(path).change([&](QSettings& settings) { setRecord(settings, record); }, failure);
    qDebug() << "UpdateiniData::modify write result" << statusName(written);
    return written;
}

bool UpdateIniData::modifyTempIni(const QString& tempDir, QString* failure)
{
    const QString target = tempDir + "/" + "update.ini";
    qDebug() << "modifyTempIni" << target;
    Record record{0, QString(), QString(), Configuration::defaultClientType(true)};
    if (!get(&record.version, nullptr, &record.dir, &record.vl3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }

    QSettings source(updateIniPath(), QSettings::IniFormat);
    const bool written = WholeIniFile(target).change(
        [&](QSettings& settings) {
            // The second stage reads its proxy, download streams and channel from this copy.
            copyGroup(source, settings, QStringLiteral("Channel"));
            copyGroup(source, settings, QStringLiteral("update"));
            setRecord(settings, record);
        },
        failure);
    qDebug() << "UpdateiniData::modifyTempIni write result" << statusName(written);
    return written;
}
