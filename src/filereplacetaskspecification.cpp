#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "confineddirectory.h"
#include "fastfileoptaskspecification.h"
#include "filetaskspecification_patch.h"
#include "replacejournal.h"
#include "slowfileopspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

const QStringList executableFileNames = {"vl3client_linux_x86", "vl3client_linux_amd64", "vl3client_runscript.sh",
                                         "update",              "fault_reporter",        "pkg_setup",
                                         "QtWebEngineProcess"};
const QStringList executableFileSuffixes = {"so", "so.0", "so.1", "so.4", "so.5"};

namespace {

QString oldCopyPath(const Configuration* configuration, const ListEntry& entry)
{
    return configuration->tempDir + "/" + entry.overridePath + "_old";
}

bool allFinished(const QList<TaskSpecification*>& tasks)
{
    return std::all_of(tasks.begin(), tasks.end(),
                       [](const TaskSpecification* task) { return task->state == TaskSpecification::FINISHED; });
}

bool standsThere(const QFileInfo& info)
{
    return info.exists() || info.isSymLink();
}

// The flags for "the current user" mirror other classes' flags, yet Qt sets them on the owner.
QFile::Permissions withoutUserFlags(QFile::Permissions permissions)
{
    return permissions & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
}

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ListEntry& entry,
                                                           RollbackDataList* parentRollbackList,
                                                           Configuration* configuration, QObject* parent,
                                                           qreal weight)
    : ComposedTaskSpecification(1, parent, weight),
      m_Entry(entry),
      m_ParentRollbackList(parentRollbackList),
      m_Configuration(configuration),
      m_Backup(nullptr)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QString("add/replace %1").arg(m_Entry.key));
    makeSubtasksAndStart();
}

QString FileReplaceTaskSpecification::refusal(const ListEntry& entry, const Configuration* configuration)
{
    // Symbolic links already in the client directory are its owner's layout (a data folder on
    // another disk, a library link) and are followed; only the name itself may not lead out.
    const QString target = entry.effectivePath();
    if (!ConfinedDirectory::isRelativeFileName(target))
        return QString("Refusing to replace '%1': it lies outside the client directory").arg(target);

    QStringList tempFiles;
    if (!entry.hasOverridePath())
        tempFiles << entry.key;
    else if (entry.hasPatch())
        tempFiles << entry.patchKey << entry.overridePath + "_old";
    else
        tempFiles << entry.key;
    const ConfinedDirectory temp(configuration->tempDir);
    for (const QString& name : qAsConst(tempFiles)) {
        if (!ConfinedDirectory::isRelativeFileName(name)
            || temp.resolveInside(QDir(configuration->tempDir).filePath(name)).isEmpty())
            return QString("Refusing file name %1: it leads outside the temporary directory").arg(name);
    }
    return QString();
}

QString FileReplaceTaskSpecification::finalPath(const QString& target)
{
    const QFileInfo info(target);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.path()).canonicalFilePath();
    return folder.isEmpty() ? target : folder + "/" + info.fileName();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    state = RUNNING;
    const QString refused = refusal(m_Entry, m_Configuration);
    if (!refused.isEmpty()) {
        emit message(refused);
        setFailed();
        return;
    }
    const QString source = QFileInfo(QDir(m_Configuration->tempDir), m_Entry.key).filePath();
    m_Target = QFileInfo(QDir(m_Configuration->vl3dir), m_Entry.effectivePath()).filePath();
    m_Final = finalPath(m_Target);

    if (!m_Entry.hasOverridePath()) {
        // The copy never overwrites: something standing at the target fails it unchanged.
        if (!standsThere(QFileInfo(m_Target)) && !record(&ReplaceJournal::creates, m_Final))
            return;
        addTask(new FileCopyTaskSpecification(&m_RollbackList, source, m_Target, this, 1.0));
        startSubtasks();
        return;
    }
    RollbackDataList* writerRecords = &m_RollbackList;
    const QFileInfo installed(m_Final);
    if (installed.isFile()) {
        if (!record(&ReplaceJournal::keepsAside, m_Final))
            return;
        m_Backup = new FileBackupTaskSpecification(m_Final, ReplaceJournal::backupPath(m_Final), &m_RollbackList,
                                                   this, 0.0);
        addTask(m_Backup);
        // Putting the backup back restores the target in one step; no removal may come first.
        writerRecords = nullptr;
    } else if (!standsThere(installed) && !record(&ReplaceJournal::creates, m_Final)) {
        return;
    }

    TaskSpecification* writer;
    if (m_Entry.hasPatch()) {
        const QString oldCopy = oldCopyPath(m_Configuration, m_Entry);
        saveOldCopy(oldCopy);
        emit message(QString("Patching %1").arg(m_Entry.overridePath));
        writer = new FileTaskSpecification_patch(writerRecords, oldCopy,
                                                 m_Configuration->tempDir + "/" + m_Entry.patchKey, m_Target, this,
                                                 0.8);
    } else if (QFileInfo(source).suffix() == QLatin1String("_lzma2_")) {
        writer = new FileUnpackTaskSpecification_lzma2(
            writerRecords, source, m_Target, FileUnpackTaskSpecification_lzma2::limitForAnnouncedSize(m_Entry.size),
            this, 0.8);
    } else {
        writer = new FileUnpackTaskSpecification_zip(writerRecords, source, m_Target, this, 0.8);
    }
    addTask(writer);
    addTask(new CheckSignatureTaskSpecification(m_Target, m_Entry.sha512, true, this, 0.2));
    startSubtasks();
}

bool FileReplaceTaskSpecification::record(bool (ReplaceJournal::*announce)(const QString&), const QString& file)
{
    ReplaceJournal journal(m_Configuration->tempDir);
    if ((journal.*announce)(file))
        return true;
    emit message(ReplaceJournal::writeFailure(m_Target, m_Configuration->tempDir));
    setFailed();
    return false;
}

void FileReplaceTaskSpecification::saveOldCopy(const QString& oldCopy)
{
    qDebug() << "Remove old copy" << oldCopy << QFile::remove(oldCopy);
    const QString folder = QFileInfo(oldCopy).absolutePath();
    if (!QDir().exists(folder))
        qDebug() << "Make folder" << folder << QDir().mkpath(folder);
    qDebug() << "Save old copy" << m_Target << oldCopy << QFile::copy(m_Target, oldCopy);
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (allFinished(tasks)) {
        if (m_ParentRollbackList)
            m_ParentRollbackList->append(m_RollbackList);
        keepInstalledMode();
        makeSingleFileExecutable(m_Target);
    } else {
        m_RollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::keepInstalledMode()
{
    if (!m_Backup)
        return;
    const QFileInfo installed(ReplaceJournal::backupPath(m_Final));
    if (installed.exists() && !installed.isSymLink())
        QFile::setPermissions(m_Final, withoutUserFlags(installed.permissions()));
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const QString suffix = info.completeSuffix();
    qDebug() << "Executable check" << path << name << suffix;
    if (!executableFileNames.contains(name) && !executableFileSuffixes.contains(suffix))
        return;
    QFile::Permissions permissions = withoutUserFlags(QFile::permissions(path));
    permissions |= QFile::ExeOwner;
    if (permissions & QFile::ReadGroup)
        permissions |= QFile::ExeGroup;
    if (permissions & QFile::ReadOther)
        permissions |= QFile::ExeOther;
    qDebug() << "Set executable flag on" << path;
    QFile::setPermissions(path, permissions);
}

void FileReplaceTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    m_Backup = nullptr;
    m_RollbackList.rollback(this);
    TaskSpecification::reset();
}
