#include "updateinidata.h"

#include "configuration.h"
#include "writtensettings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

namespace {

const char* const kGroup = "current";

QString statusName(QSettings::Status status)
{
    switch (status) {
    case QSettings::NoError:
        return QStringLiteral("NoError");
    case QSettings::AccessError:
        return QStringLiteral("AccessError");
    case QSettings::FormatError:
        return QStringLiteral("FormatError");
    }
    return QString::number(int(status));
}

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

// Whether the file at `path`, written with `status`, holds `record`; otherwise `failure` gets the
// system's reason. An empty or cut-off file does not hold it.
bool holdsRecord(const QString& path, QSettings::Status status, const Record& record, QString* failure)
{
    const QVariantMap held = WrittenSettings::groupOnDisk(path, QLatin1String(kGroup));
    bool versionOk = false;
    const int version = held.value(QStringLiteral("version")).toInt(&versionOk);
    if (status == QSettings::NoError && versionOk && version == record.version
        && held.value(QStringLiteral("dir")).toString() == record.dir
        && held.value(QStringLiteral("vl3dir")).toString() == record.vl3dir
        && held.value(QStringLiteral("type")).toString() == record.type)
        return true;
    const qint64 bytes = QFileInfo(path).size() + QString::number(record.version).size() + record.dir.toUtf8().size()
        + record.vl3dir.toUtf8().size() + record.type.toUtf8().size() + 64;
    const QString reason = WrittenSettings::whyUnwritable(path, bytes);
    qDebug() << "The record does not read back from" << path << reason;
    if (failure)
        *failure = reason;
    return false;
}

// Removes the group of the record from the file at `path`, and the file when nothing is left.
void removeRecord(const QString& path)
{
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.remove(kGroup);
        settings.sync();
        if (!settings.allKeys().isEmpty())
            return;
    }
    QFile::remove(path);
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
    QSettings::Status status;
    {
        QSettings settings(path, QSettings::IniFormat);
        setRecord(settings, record);
        settings.sync();
        status = settings.status();
    }
    qDebug() << "UpdateiniData::modify write result" << statusName(status);
    return holdsRecord(path, status, record, failure);
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

    QSettings::Status status;
    {
        QSettings source(updateIniPath(), QSettings::IniFormat);
        QSettings settings(target, QSettings::IniFormat);
        // The second stage reads its proxy, download streams and channel from this copy.
        copyGroup(source, settings, QStringLiteral("Channel"));
        copyGroup(source, settings, QStringLiteral("update"));
        setRecord(settings, record);
        settings.sync();
        status = settings.status();
    }
    qDebug() << "UpdateiniData::modifyTempIni write result" << statusName(status);
    return holdsRecord(target, status, record, failure);
}
