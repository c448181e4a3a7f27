#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "confineddirectory.h"
#include "fastfileoptaskspecification.h"
#include "filetaskspecification_patch.h"
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
      m_MoveAside(nullptr),
      m_Writer(nullptr)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QString("add/replace %1").arg(m_Entry.key));
    makeSubtasksAndStart();
}

QString FileReplaceTaskSpecification::refusal(const ListEntry& entry, const Configuration* configuration)
{
    const QString target = entry.effectivePath();
    if (!ConfinedDirectory::isRelativeFileName(target)
        || ConfinedDirectory(configuration->vl3dir).resolveInside(QDir(configuration->vl3dir).filePath(target)).isEmpty())
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

QString FileReplaceTaskSpecification::backupPath(const QString& target)
{
    return target + ".vl3_backup";
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
    restoreInterruptedBackup();

    if (!m_Entry.hasOverridePath()) {
        addTask(new FileCopyTaskSpecification(&m_RollbackList, source, m_Target, this, 1.0));
        startSubtasks();
        return;
    }
    if (m_Entry.hasPatch()) {
        const QString oldCopy = oldCopyPath(m_Configuration, m_Entry);
        saveOldCopy(oldCopy);
        emit message(QString("Patching %1").arg(m_Entry.overridePath));
        addMoveAside();
        m_Writer = new FileTaskSpecification_patch(&m_RollbackList, oldCopy,
                                                   m_Configuration->tempDir + "/" + m_Entry.patchKey, m_Target,
                                                   this, 0.8);
    } else {
        addMoveAside();
        if (QFileInfo(source).suffix() == QLatin1String("_lzma2_"))
            m_Writer = new FileUnpackTaskSpecification_lzma2(
                &m_RollbackList, source, m_Target,
                FileUnpackTaskSpecification_lzma2::limitForAnnouncedSize(m_Entry.size), this, 0.8);
        else
            m_Writer = new FileUnpackTaskSpecification_zip(&m_RollbackList, source, m_Target, this, 0.8);
    }
    addTask(m_Writer);
    addTask(new CheckSignatureTaskSpecification(m_Target, m_Entry.sha512, true, this, 0.2));
    startSubtasks();
}

void FileReplaceTaskSpecification::saveOldCopy(const QString& oldCopy)
{
    qDebug() << "Remove old copy" << oldCopy << QFile::remove(oldCopy);
    const QString folder = QFileInfo(oldCopy).absolutePath();
    if (!QDir().exists(folder))
        qDebug() << "Make folder" << folder << QDir().mkpath(folder);
    qDebug() << "Save old copy" << m_Target << oldCopy << QFile::copy(m_Target, oldCopy);
}

void FileReplaceTaskSpecification::restoreInterruptedBackup()
{
    // A backup is only left behind when an earlier run was killed between moving the installed
    // file aside and the end of its step. It holds the installed file; what stands at the
    // target is at best the unfinished new one. Putting the installed file back first lets this
    // run replace it as usual, and keeps it from being stranded under the backup's name.
    const QString backup = backupPath(m_Target);
    if (!standsThere(QFileInfo(backup)))
        return;
    if (standsThere(QFileInfo(m_Target)) && !QFileInfo(m_Target).isDir())
        QFile::remove(m_Target);
    const bool restored = QFile::rename(backup, m_Target);
    qDebug() << "Restore interrupted backup" << backup << restored;
}

void FileReplaceTaskSpecification::addMoveAside()
{
    // A directory is left where it is: nothing can be written over it, so the write fails.
    const QFileInfo installed(m_Target);
    if (!installed.isSymLink() && (!installed.exists() || installed.isDir()))
        return;
    m_MoveAside = new FileRenameTaskSpecification(m_Target, backupPath(m_Target), &m_RollbackList, this, 0.0);
    addTask(m_MoveAside);
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (allFinished(tasks)) {
        if (m_ParentRollbackList)
            m_ParentRollbackList->append(m_RollbackList);
        keepInstalledMode();
        makeSingleFileExecutable(m_Target);
    } else {
        recordBrokenTarget();
        m_RollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::recordBrokenTarget()
{
    // The write only ever started on a free target or on a folder, which was left in place and
    // which a write cannot make: any other thing standing there now is its own leftover.
    const QFileInfo left(m_Target);
    if (m_Writer && m_Writer->state == FAILED && standsThere(left) && (left.isSymLink() || !left.isDir()))
        m_RollbackList.add(RollbackData(RollbackData::FILE_CREATE, m_Target));
}

void FileReplaceTaskSpecification::keepInstalledMode()
{
    if (!m_MoveAside)
        return;
    const QFileInfo installed(backupPath(m_Target));
    if (installed.exists() && !installed.isSymLink())
        QFile::setPermissions(m_Target, withoutUserFlags(installed.permissions()));
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
    m_MoveAside = nullptr;
    m_Writer = nullptr;
    m_RollbackList.rollback(this);
    TaskSpecification::reset();
}
