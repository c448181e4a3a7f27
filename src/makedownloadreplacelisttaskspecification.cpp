#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "confineddirectory.h"
#include "partialfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>
#include <cerrno>

namespace {

const QString kPatchSuffix = QStringLiteral("_patch_");
const QString kFieldSeparator = QStringLiteral("::");
const QString kClientDirPlaceholder = QStringLiteral("__VL3_DIR__");
const int kLinux64 = 4;

QString productIniName(bool clientUpdate)
{
    return (clientUpdate ? QStringLiteral("vl3_") : QString()) + Configuration::defaultClientType(clientUpdate)
        + QStringLiteral(".ini");
}

QStringList fields(const QSettings& ini, const QString& key)
{
    return ini.value(key).toString().split(kFieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
}

bool isCommandSection(const QString& section)
{
    return section == QLatin1String("preinstall") || section == QLatin1String("postinstall");
}

// Text that is not a decimal number reads as 0.
quint64 readSize(const QString& text)
{
    return text.toULongLong(nullptr, 10);
}

// A file that cannot be read counts as a mismatch; an empty digest selects the RSA check.
bool fileMatches(const QString& file, const QString& sha512)
{
    CheckSigFunc check(file, sha512);
    return check.run();
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(const Configuration* config,
                                                         std::shared_ptr<UpdateLists> lists)
    : m_ClientUpdate(config->isClientUpdate == 1)
    , m_TempDir(config->tempDir)
    , m_ClientDir(config->vl3dir)
    , m_Lists(std::move(lists))
{
}

int MakeDownloadReplaceListFunc::platformId(const QString& word)
{
    static const QStringList names = {"win32", "win64", "linux32", "linux64", "mac"};
    return names.indexOf(word.toLower()) + 1;
}

bool MakeDownloadReplaceListFunc::run()
{
    m_Lists->clear();
    const QString prodIni = m_TempDir + "/" + productIniName(m_ClientUpdate);
    qDebug() << "prodIni" << prodIni;
    emit message(QStringLiteral("Compiling download and replace list for ")
                 + (m_ClientUpdate ? QStringLiteral("client") : QStringLiteral("updater")));

    QSettings ini(prodIni, QSettings::IniFormat);
    const QStringList sections = ini.childGroups();
    m_Total = 0;
    for (const QString& section : sections) {
        ini.beginGroup(section);
        m_Total += ini.allKeys().size();
        ini.endGroup();
    }
    if (m_Total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }

    m_Done = 0;
    m_Programs.clear();
    // The commands first: a file line that is current must know whether a command starts it.
    QStringList ordered = sections;
    std::stable_partition(ordered.begin(), ordered.end(), isCommandSection);
    for (const QString& section : qAsConst(ordered)) {
        ini.beginGroup(section);
        const bool ok = compileSection(ini, section);
        ini.endGroup();
        if (!ok)
            return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::compileSection(QSettings& ini, const QString& section)
{
    QStringList keys = ini.allKeys();
    QStringList patchKeys;
    for (auto it = keys.begin(); it != keys.end();) {
        if (it->endsWith(kPatchSuffix)) {
            patchKeys << *it;
            it = keys.erase(it);
        } else {
            ++it;
        }
    }

    // Every patch line of the section is known before its first file line is decided.
    PatchRecords patches;
    if (!readPatchRecords(ini, section, patchKeys, &patches))
        return false;

    if (section == QLatin1String("delete"))
        return compileDeletions(ini, keys);
    if (isCommandSection(section))
        return compileCommands(ini, section, keys);
    for (const QString& key : keys) {
        if (!compileFileLine(ini, section, key, patches))
            return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::readPatchRecords(QSettings& ini, const QString& section,
                                                   const QStringList& patchKeys, PatchRecords* records)
{
    for (const QString& key : patchKeys) {
        const QStringList f = fields(ini, key);
        if (f.size() != 5) {
            warnInvalidLine(section);
            return false;
        }
        // The key names the patch in the temp dir; a target that could never match a safe file
        // line is as broken as a malformed line.
        if (!ConfinedDirectory::isRelativeBelow(key)) {
            refuseUnsafeLine(section, key, key);
            return false;
        }
        if (!f[4].isEmpty() && !ConfinedDirectory::isRelativeBelow(f[4])) {
            refuseUnsafeLine(section, key, f[4]);
            return false;
        }
        IniFileRecord record;
        record.section = section;
        record.key = key;
        record.sha512 = f[0];
        record.size = readSize(f[1]);
        record.oldSha512 = f[2];
        record.oldSize = readSize(f[3]);
        record.overridePath = f[4];
        qDebug() << "ADD PATCH" << record.overridePath << record.key << record.sha512 << record.size
                 << record.oldSha512 << record.oldSize;
        (*records)[record.overridePath].append(record);
    }
    return true;
}

bool MakeDownloadReplaceListFunc::compileDeletions(QSettings& ini, const QStringList& keys)
{
    for (const QString& key : keys) {
        advanceProgress();
        if (!ConfinedDirectory::isRelativeBelow(key)) {
            refuseUnsafeLine(QStringLiteral("delete"), key, key);
            return false;
        }
        // A link counts by itself, a dangling one too: the line names it, not what it leads to.
        const QFileInfo listed(m_ClientDir + "/" + key);
        if (!listed.exists() && !listed.isSymLink())
            continue;
        // Codes 10, 11 and 13 and above are kept for other uses and delete nothing.
        const int code = ini.value(key).toString().toInt();
        if (code < 10 || code == 12) {
            DeleteEntry entry;
            entry.path = key;
            entry.recursive = code == 2;
            m_Lists->deletions.append(entry);
        }
    }
    return true;
}

bool MakeDownloadReplaceListFunc::compileCommands(QSettings& ini, const QString& section, const QStringList& keys)
{
    QList<InstallCommand>& commands =
        section == QLatin1String("preinstall") ? m_Lists->preInstall : m_Lists->postInstall;
    for (const QString& key : keys) {
        const QStringList items = ini.value(key).toStringList();
        qDebug() << "prepostinstall cmd" << key << "v" << items;
        if (items.isEmpty())
            continue;
        // The program is started from the temp dir.
        if (!ConfinedDirectory::isRelativeBelow(key)) {
            refuseUnsafeLine(section, key, key);
            return false;
        }
        const QStringList platforms = items[0].split(kFieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
        QStringList arguments;
        if (items.size() > 1)
            arguments = items[1].split(kFieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
        const bool required = items.size() < 3 || items[2] != QLatin1String("optional");
        qDebug() << "--->" << key << "os list" << platforms << "args" << arguments << "required" << required;
        for (QString& argument : arguments)
            argument.replace(kClientDirPlaceholder, m_ClientDir, Qt::CaseSensitive);
        qDebug() << "replaced args: " << arguments;
        for (const QString& platform : platforms) {
            if (platformId(platform) == kLinux64) {
                commands.append(InstallCommand(key, arguments, required));
                m_Programs.insert(QDir::cleanPath(key));
            }
        }
    }
    return true;
}

bool MakeDownloadReplaceListFunc::compileFileLine(QSettings& ini, const QString& section, const QString& key,
                                                  const PatchRecords& patches)
{
    advanceProgress();
    ListEntry replacement;
    replacement.section = section;
    replacement.key = key;
    DownloadEntry download;
    download.section = section;
    download.key = key;

    const QStringList f = fields(ini, key);
    if (f.size() != 2 && f.size() != 5) {
        warnInvalidLine(section);
        return true;
    }
    download.sha512 = f[0];
    download.size = readSize(f[1]);
    if (f.size() == 5) {
        replacement.sha512 = f[2];
        replacement.size = readSize(f[3]);
        replacement.overridePath = f[4];
    }
    // The key is the file's path in the temp dir, the effective path its place in the client.
    for (const QString& path : {key, replacement.effectivePath()}) {
        if (!ConfinedDirectory::isRelativeBelow(path)) {
            refuseUnsafeLine(section, key, path);
            return false;
        }
    }

    const QString local = m_ClientDir + "/" + replacement.effectivePath();
    const bool installed = QFileInfo::exists(local);
    const bool hasPatches = patches.contains(replacement.overridePath);
    qDebug() << "CHECK PATCH" << replacement.overridePath << installed << hasPatches;
    if (installed && replacement.hasOverridePath() && hasPatches) {
        for (const IniFileRecord& record : patches.value(replacement.overridePath)) {
            const bool match = fileMatches(local, record.oldSha512);
            qDebug() << "Check Sig" << local << record.oldSha512 << "=>" << match;
            if (match) {
                replacement.patchKey = record.key;
                download.key = record.key;
                download.sha512 = record.sha512;
                download.size = record.size;
                qDebug() << "Found patch for" << key << local;
                queue(replacement, download);
                return true;
            }
        }
    }
    if (installed) {
        const QString expected = replacement.hasOverridePath() ? replacement.sha512 : download.sha512;
        if (fileMatches(local, expected))
            return keepUpToDateFile(local, replacement.effectivePath());
    }
    queue(replacement, download);
    return true;
}

bool MakeDownloadReplaceListFunc::keepUpToDateFile(const QString& local, const QString& relativePath)
{
    // Install commands start from the temp dir, so a current program is needed there in either
    // step; it must be the copy just verified, not whatever an earlier run of the session left.
    const bool program = m_Programs.contains(QDir::cleanPath(relativePath));
    if (m_ClientUpdate && !program)
        return true;
    const QString dst = m_TempDir + "/" + relativePath;
    QDir().mkpath(QFileInfo(dst).absolutePath());
    QFile::remove(dst);
    // A tree that lacks a file cannot take over from this step: a copy that fails, on a full
    // disk above all, fails the compile.
    PartialFile copy(dst);
    if (copy.copyFrom(local) && copy.add(dst)) {
        qDebug() << "Copying updater files:" << local << "to" << dst;
        return true;
    }
    const int reason = errno;
    const QString text = QStringLiteral("Failed to copy %1 to %2: %3").arg(local, dst, qt_error_string(reason));
    qWarning() << text;
    emit message(text);
    return false;
}

void MakeDownloadReplaceListFunc::queue(const ListEntry& replacement, const DownloadEntry& download)
{
    m_Lists->replacements.append(replacement);
    // Left by an earlier run of the same session.
    const QString previous = m_TempDir + "/" + download.key;
    if (QFileInfo::exists(previous) && fileMatches(previous, download.sha512))
        return;
    m_Lists->downloads.append(download);
    qDebug() << "Queueing download:" << replacement.key;
}

void MakeDownloadReplaceListFunc::warnInvalidLine(const QString& section)
{
    emit message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section));
}

void MakeDownloadReplaceListFunc::refuseUnsafeLine(const QString& section, const QString& key, const QString& path)
{
    qDebug() << "Refused product ini line" << key << "in section" << section << "path" << path;
    emit message(QStringLiteral("Refusing product ini line %1 in section %2: %3 leads outside the allowed folders")
                     .arg(key, section, path));
}

void MakeDownloadReplaceListFunc::advanceProgress()
{
    ++m_Done;
    emit progress(qreal(m_Done) / m_Total);
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(Configuration* config,
                                                                                   UpdateLists* sharedLists,
                                                                                   QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_Config(config)
    , m_SharedLists(sharedLists)
{
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    m_Lists = std::make_shared<UpdateLists>();
    return new MakeDownloadReplaceListFunc(m_Config, m_Lists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool success)
{
    // A result for a task that no longer runs must not change the plan the others read.
    if (success && state == RUNNING)
        *m_SharedLists = *m_Lists;
    ASyncTaskSpecification::runDone(success);
}
