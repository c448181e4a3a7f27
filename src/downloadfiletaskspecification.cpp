#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "confineddirectory.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "slowfileopspecification.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <limits>

namespace {

int parallelDownloads(const Configuration* configuration)
{
    const int streams = configuration->streams < 1 ? 6 : configuration->streams;
    return std::min(streams, DownloadFileListTaskSpecification::kMaxParallelDownloads);
}

qint64 toQint64(quint64 size)
{
    return size > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max() : qint64(size);
}

QString unsafeNameText(const QString& key)
{
    return QStringLiteral("Refusing file name %1: it leads outside the temporary directory").arg(key);
}

} // namespace

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry& entry, QNetworkAccessManager* manager,
                                                             Configuration* configuration, QObject* parent,
                                                             qreal weight)
    : ComposedTaskSpecification(1, parent, weight),
      m_Entry(entry),
      m_NetworkManager(manager),
      m_Configuration(configuration),
      m_Download(nullptr),
      m_Check(nullptr)
{
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString localFile = m_Configuration->tempDir + '/' + m_Entry.key;
    // The signed size is also the most the server may send. A line that gives none (0, or no
    // number) is bounded as its unpacking is; the digest decides whether the file is right.
    const qint64 size = toQint64(m_Entry.size);
    const qint64 maxSize = toQint64(FileUnpackTaskSpecification_lzma2::limitForAnnouncedSize(m_Entry.size));
    m_Download = new DownloadTaskSpecification(m_NetworkManager, m_Entry.section + '/' + m_Entry.key,
                                               m_Configuration->version, localFile, size, maxSize, this, 0.8);
    addTask(m_Download);
    // A file that does not match its digest must not reach the installation: fail here.
    m_Check = new CheckSignatureTaskSpecification(localFile, m_Entry.sha512, true, this, 0.2);
    connect(m_Check, SIGNAL(checkDone(bool, CheckSignatureTaskSpecification*)), this,
            SLOT(onSigCheckDone(bool, CheckSignatureTaskSpecification*)));
    addTask(m_Check);
    state = RUNNING;
    startSubtasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task)
{
    qDebug() << "Digest check of" << task->file() << (pass ? "passed" : "failed");
}

void DownloadFileTaskSpecification::subtasksDone()
{
    // A file that failed its check is of no use, and it may be as large as its line allows
    // (4 GiB without a size): it does not stay in the session folder.
    if (m_Check && m_Check->state == FAILED)
        m_Download->removeCompletedFile();
    ComposedTaskSpecification::subtasksDone();
}

void DownloadFileTaskSpecification::reset()
{
    deleteSubtasks();
    m_Download = nullptr;
    m_Check = nullptr;
    subtaskFailed = false;
    doneReported = false;
    TaskSpecification::reset();
}

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(const QList<DownloadEntry>* downloads,
                                                                     QNetworkAccessManager* manager,
                                                                     Configuration* configuration, QObject* parent,
                                                                     qreal weight)
    : ComposedTaskSpecification(parallelDownloads(configuration), parent, weight),
      m_Downloads(downloads),
      m_NetworkManager(manager),
      m_Configuration(configuration),
      m_TotalBytes(0)
{
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

bool DownloadFileListTaskSpecification::makeFolders()
{
    const QDir dir(m_Configuration->tempDir);
    const ConfinedDirectory confined(m_Configuration->tempDir);
    if (!confined.exists()) {
        emit message(QStringLiteral("Could not create dir %1").arg(m_Configuration->tempDir));
        return false;
    }
    const QString root = confined.canonicalPath() + '/';
    QSet<QString> made{QStringLiteral(".")};
    for (const DownloadEntry& entry : *m_Downloads) {
        const QString folder = QFileInfo(entry.key).path();
        const QFileInfo target(dir.filePath(entry.key));
        // Checked before mkpath, which would follow a symbolic link out of the directory.
        if (confined.resolveInside(target.path()).isEmpty() || target.isSymLink()) {
            emit message(unsafeNameText(entry.key));
            return false;
        }
        if (made.contains(folder))
            continue;
        if (!dir.mkpath(folder)) {
            emit message(QStringLiteral("Could not create dir %1").arg(root + folder));
            return false;
        }
        made.insert(folder);
    }
    return true;
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (m_Downloads->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        setFinished();
        return;
    }
    for (const DownloadEntry& entry : *m_Downloads) {
        if (!ConfinedDirectory::isRelativeFileName(entry.key)) {
            emit message(unsafeNameText(entry.key));
            setFailed();
            return;
        }
    }
    if (!makeFolders()) {
        setFailed();
        return;
    }
    emit message(QStringLiteral("Downloading files"));
    const qreal share = 1.0 / m_Downloads->size();
    for (const DownloadEntry& entry : *m_Downloads) {
        addTask(new DownloadFileTaskSpecification(entry, m_NetworkManager, m_Configuration, this, share));
        m_TotalBytes = entry.size > std::numeric_limits<quint64>::max() - m_TotalBytes
                           ? std::numeric_limits<quint64>::max()
                           : m_TotalBytes + entry.size;
    }
    state = RUNNING;
    startSubtasks();
}

void DownloadFileListTaskSpecification::getDownloadProgress(quint64* done, quint64* total, quint64* speed,
                                                            bool* downloading)
{
    ComposedTaskSpecification::getDownloadProgress(done, total, speed, downloading);
    *total = m_TotalBytes;
}

void DownloadFileListTaskSpecification::reset()
{
    deleteSubtasks();
    subtaskFailed = false;
    doneReported = false;
    m_TotalBytes = 0;
    TaskSpecification::reset();
}
