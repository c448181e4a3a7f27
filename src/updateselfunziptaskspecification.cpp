#include "updateselfunziptaskspecification.h"

#include "checkedwritetaskspecification.h"
#include "configuration.h"
#include "confineddirectory.h"
#include "filetaskspecification_patch.h"
#include "slowfileopspecification.h"
#include "updateinidata.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char* const kOldCopySuffix = "_old";
const char* const kTranslations = "translations";

} // namespace

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(const QList<ListEntry>* replaceList,
                                                                   Configuration* configuration, QObject* parent,
                                                                   qreal weight)
    : ComposedTaskSpecification(kMaxParallel, parent, weight), m_ReplaceList(replaceList),
      m_Configuration(configuration)
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

bool UpdateSelfUnzipTaskSpecification::checkPaths()
{
    // The paths come from the product ini: each must name a file below the temporary directory,
    // by its letters and through any symbolic link on the way.
    const QString& tempDir = m_Configuration->tempDir;
    const ConfinedDirectory confined(tempDir);
    for (const ListEntry& entry : *m_ReplaceList) {
        if (!entry.hasOverridePath())
            continue;
        const QString path = entry.effectivePath();
        QStringList paths{path};
        if (entry.hasPatch())
            paths << path + kOldCopySuffix << entry.patchKey;
        else
            paths << entry.key;
        for (const QString& relative : qAsConst(paths)) {
            if (!ConfinedDirectory::isRelativeFileName(relative)
                || confined.resolveInside(tempDir + '/' + relative).isEmpty()) {
                emit message(
                    QStringLiteral("Refusing file name %1: it leads outside the temporary directory").arg(relative));
                return false;
            }
        }
    }
    return true;
}

void UpdateSelfUnzipTaskSpecification::addUnpack(const ListEntry& entry)
{
    const QString& tempDir = m_Configuration->tempDir;
    const QString source = tempDir + '/' + entry.key;
    const QString destination = tempDir + '/' + entry.effectivePath();
    const qreal weight = CheckedWriteTaskSpecification::kWriteWeight;
    if (QFileInfo(entry.key).suffix() == QLatin1String("_lzma2_"))
        addChecked(entry, new FileUnpackTaskSpecification_lzma2(
                              nullptr, source, destination,
                              FileUnpackTaskSpecification_lzma2::limitForAnnouncedSize(entry.size), nullptr, weight));
    else
        addChecked(entry, new FileUnpackTaskSpecification_zip(nullptr, source, destination, nullptr, weight));
}

void UpdateSelfUnzipTaskSpecification::addPatch(const ListEntry& entry)
{
    const QString& tempDir = m_Configuration->tempDir;
    const QString path = entry.effectivePath();
    const QString oldCopy = tempDir + '/' + path + kOldCopySuffix;
    // The patch applies to a copy, so that the running installation stays untouched; a failed
    // copy shows up as a failed patch.
    QFile::remove(oldCopy);
    QFile::copy(m_Configuration->vl3dir + '/' + path, oldCopy);
    emit message(QStringLiteral("Patching %1").arg(path));
    addChecked(entry, new FileTaskSpecification_patch(nullptr, oldCopy, tempDir + '/' + entry.patchKey,
                                                      tempDir + '/' + path, nullptr,
                                                      CheckedWriteTaskSpecification::kWriteWeight));
}

void UpdateSelfUnzipTaskSpecification::addChecked(const ListEntry& entry, TaskSpecification* writer)
{
    // The new updater is started from these files: each must be what the product ini describes,
    // not only the packed file or patch it came from (the second stage checks its files alike).
    addTask(new CheckedWriteTaskSpecification(writer, m_Configuration->tempDir + '/' + entry.effectivePath(),
                                              entry.sha512, this, 1.0));
}

void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    if (!checkPaths()) {
        setFailed();
        return;
    }
    for (const ListEntry& entry : *m_ReplaceList) {
        // Plain files were downloaded straight to their place in the new updater.
        if (!entry.hasOverridePath())
            continue;
        const QString folder = QFileInfo(m_Configuration->tempDir + '/' + entry.effectivePath()).absolutePath();
        if (!QDir().exists(folder))
            QDir().mkpath(folder);
        if (entry.hasPatch())
            addPatch(entry);
        else
            addUnpack(entry);
    }
    state = RUNNING;
    startSubtasks();
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    const QString& tempDir = m_Configuration->tempDir;
    const QString newUpdater = tempDir + QStringLiteral("/update");
    const QFileInfo updater(newUpdater);
    qDebug() << "chmod +x" << newUpdater << updater.exists();
    // chmod follows a link, which could lead out of the temporary directory.
    if (updater.exists() && !updater.isSymLink())
        QFile::setPermissions(newUpdater, QFileDevice::Permissions(0x7777));

    QString reason;
    if (!UpdateIniData::modifyTempIni(tempDir, &reason)) {
        qDebug() << "Failed to write temp update.ini";
        QString text = QStringLiteral("Failed to write temp update.ini. The updater does not seem to have the required "
                                      "write permissions.");
        if (!reason.isEmpty())
            text += '\n' + reason;
        emit error(text);
        setFailed();
        return;
    }
    copyTranslations();
    ComposedTaskSpecification::subtasksDone();
}

void UpdateSelfUnzipTaskSpecification::copyTranslations()
{
    const QString sourceDir = Configuration::getApplicationDir() + '/' + kTranslations;
    const QString targetDir = m_Configuration->tempDir + '/' + kTranslations;
    const QStringList names =
        QDir(sourceDir).entryList(QStringList{QStringLiteral("update_*.qm")}, QDir::Files, QDir::Unsorted);
    if (ConfinedDirectory(m_Configuration->tempDir).resolveInside(targetDir).isEmpty())
        return;
    if (!QDir(targetDir).exists())
        QDir().mkdir(targetDir);
    for (const QString& name : names) {
        const QString from = sourceDir + '/' + name;
        const QString to = targetDir + '/' + name;
        qDebug() << "Copying qm file" << from << to;
        // QFile::copy never overwrites: a file already in place is kept.
        if (!QFileInfo::exists(to))
            QFile::copy(from, to);
    }
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    TaskSpecification::reset();
}
