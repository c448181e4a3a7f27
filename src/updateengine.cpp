#include "updateengine.h"

#include "configuration.h"
#include "downloadtaskspecification.h"
#include "maintaskspecification.h"
#include "replacejournal.h"
#include "rsacrypto.h"
#include "updateinidata.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimer>
#include <QUrl>

namespace {

const int kPollIntervalMs = 1000;
// Over loopback a head without end comes at a GB a second; a look at the connections takes some
// 0.1 ms.
const int kWatchIntervalMs = 10;
// The first stage hands its session to the second as it starts it. A second stage that did not
// get it waits this long for a first stage that could not hand it over to end.
const int kSessionHandOverMs = 5000;
const quint16 kDefaultProxyPort = 3128;

// The window only calls the session operations in their state; anything else is a programming
// error that must not go on silently in a release build either.
void requireState(bool holds, const char* condition)
{
    if (!holds)
        qFatal("ASSERT: \"%s\" in UpdateEngine", condition);
}

// Removes `path`, an emptied directory, from its parent; false when the parent cannot be entered
// or the removal fails.
bool removeFromParent(const QString& path, bool* parentEntered)
{
    const QString clean = QDir::cleanPath(path);
    QDir parent(clean);
    *parentEntered = parent.cdUp();
    if (!*parentEntered)
        return false;
    return parent.rmdir(parent.relativeFilePath(clean));
}

} // namespace

UpdateEngine::UpdateEngine(Configuration* cfg, QObject* parent)
    : QObject(parent), m_State(PRE_INIT), m_Configuration(cfg), m_RootTask(nullptr)
{
    connect(m_Configuration, SIGNAL(message(QString)), this, SIGNAL(message(QString)));
    m_Timer = new QTimer(this);
    m_Timer->setInterval(kPollIntervalMs);
    connect(m_Timer, SIGNAL(timeout()), this, SLOT(onTimer()));
    m_WatchTimer = new QTimer(this);
    m_WatchTimer->setInterval(kWatchIntervalMs);
    connect(m_WatchTimer, &QTimer::timeout, this, &UpdateEngine::watchDownloadConnections);
    m_NetworkManager = new QNetworkAccessManager(this);
    m_SessionLock.takeHandedOver();
    m_Configuration->readUpdateIniSettings();
    applyProxy();
}

void UpdateEngine::applyProxy()
{
    const QString& text = m_Configuration->proxy;
    if (text.isEmpty()) {
        m_NetworkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    // "host:port" would parse as a URL whose scheme is the host name and which has no host.
    const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text, QUrl::TolerantMode);
    // An unusable text leaves the application-wide proxy in place; credentials are not used.
    if (url.isValid())
        m_NetworkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), url.port(kDefaultProxyPort)));
}

bool UpdateEngine::initialize()
{
    requireState(m_State == PRE_INIT, "m_State == PRE_INIT");
    try {
        initCrypto();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromUtf8(e.what()));
        return false;
    }

    int recordedVersion = 0;
    QString tempDir;
    QString clientDir;
    if (UpdateIniData::get(&recordedVersion, nullptr, &tempDir, &clientDir)) {
        // The record stays while a stage runs: its session is continued or discarded only when
        // no stage works in it any more.
        if (!holdSession(tempDir))
            return false;
        if (recordedVersion == m_Configuration->version) {
            qDebug() << "Continuing previous session";
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(recordedVersion));
        } else {
            qDebug() << "Cleaning up previous session";
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...").arg(recordedVersion).arg(tempDir));
            // The session's record of changes is all that can still undo them: it stays.
            if (!recoverInterruptedReplacement(tempDir))
                return false;
            removeDirectory(tempDir);
            bool parentEntered = false;
            const bool removed = removeFromParent(tempDir, &parentEntered);
            if (parentEntered)
                emit message(removed ? QStringLiteral("Ok") : QStringLiteral("Failed to remove directory"));
            tempDir.clear();
            clientDir.clear();
            UpdateIniData::remove();
        }
    }

    if (!m_Configuration->initalizeStart(tempDir, clientDir))
        return false;
    if (!holdSession(m_Configuration->tempDir) || !recordSession()) {
        // Without the record nothing would ever lead back to a directory made for this start.
        if (m_Configuration->tempDir != tempDir)
            discardSessionDirectory(m_Configuration->tempDir);
        return false;
    }
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::recordSession()
{
    // Before anything is compiled from the client's files: they must be all old or all new.
    if (!recoverInterruptedReplacement(m_Configuration->tempDir))
        return false;
    QString reason;
    if (UpdateIniData::modify(m_Configuration->version, m_Configuration->tempDir, m_Configuration->vl3dir,
                              m_Configuration->clientType, &reason))
        return true;
    qDebug() << "Failed to write to update.ini";
    QString text =
        QStringLiteral("Failed to write update.ini. The updater does not seem to have the required write permissions.");
    if (!reason.isEmpty())
        text += '\n' + reason;
    emit error(text);
    return false;
}

bool UpdateEngine::holdSession(const QString& sessionDir)
{
    // A first stage finds the session held only while another update works in it: waiting could
    // just outlast that update, which removes the session.
    const int waitMs = m_Configuration->isClientUpdate == 1 ? kSessionHandOverMs : 0;
    switch (m_SessionLock.acquire(sessionDir + "/session.lock", waitMs)) {
    case FileLock::Held:
        return true;
    case FileLock::HeldByOther:
        qDebug() << "Another stage holds the session" << sessionDir;
        emit error(QStringLiteral("Another update is running. Please wait until it has finished."));
        emit otherUpdateRunning();
        return false;
    case FileLock::CannotOpen:
        break;
    }
    emit error(QStringLiteral("Failed to lock the temporary directory %1.").arg(sessionDir));
    return false;
}

void UpdateEngine::discardSessionDirectory(const QString& sessionDir)
{
    m_SessionLock.release();
    removeDirectory(sessionDir);
    bool parentEntered = false;
    qDebug() << "Removed the unused session directory" << sessionDir << removeFromParent(sessionDir, &parentEntered);
}

bool UpdateEngine::recoverInterruptedReplacement(const QString& sessionDir)
{
    QStringList obstacles;
    switch (ReplaceJournal(sessionDir).recover(&obstacles)) {
    case ReplaceJournal::Completed:
        emit message(QStringLiteral("Finished the file updates of an interrupted update"));
        break;
    case ReplaceJournal::RolledBack:
        emit message(QStringLiteral("Restored the client files of an interrupted update"));
        break;
    case ReplaceJournal::Blocked: {
        const QString text = QStringLiteral("Could not restore the client files of an interrupted update:\n%1\n"
                                            "No update is started. Remove what stands in the way, then start "
                                            "the update again.")
                                 .arg(obstacles.join('\n'));
        qDebug() << "Interrupted update not recovered" << text;
        emit error(text);
        return false;
    }
    case ReplaceJournal::NothingToRecover:
        break;
    }
    return true;
}

bool UpdateEngine::startUpdate()
{
    requireState(m_State == POST_INIT, "m_State == POST_INIT");
    qDebug() << "Starting update";
    m_RootTask = new MainTaskSpecification(m_NetworkManager, m_Configuration, this, 1.0);
    connect(m_RootTask, SIGNAL(finished(TaskSpecification*)), this, SLOT(onTaskFinished()));
    connect(m_RootTask, SIGNAL(canceled(TaskSpecification*)), this, SLOT(onTaskCanceled()));
    connect(m_RootTask, SIGNAL(error(QString)), this, SIGNAL(error(QString)));
    connect(m_RootTask, SIGNAL(updateProgress(qreal)), this, SIGNAL(updateProgress(qreal)));
    connect(m_RootTask, SIGNAL(message(QString)), this, SIGNAL(message(QString)));
    m_State = RUNNING;
    m_DownloadConnections = std::make_unique<ConnectionWatch>(
        ConnectionWatch::portFor(QUrl(g_downloadBaseUrl), m_NetworkManager->proxy()),
        DownloadTaskSpecification::kReadBufferSize);
    m_DeliveredBytes = DownloadTaskSpecification::deliveredBytes();
    m_Timer->start(kPollIntervalMs);
    m_WatchTimer->start();
    m_RootTask->execute();
    return true;
}

void UpdateEngine::watchDownloadConnections()
{
    const quint64 delivered = DownloadTaskSpecification::deliveredBytes();
    m_DownloadConnections->poll(delivered - m_DeliveredBytes);
    m_DeliveredBytes = delivered;
    // Qt drops the reply of a connection that took in a head without end, or sends its request
    // again, once it meets the connection's end.
    if (m_DownloadConnections->caught())
        qDebug() << "Shut down" << m_DownloadConnections->shutDownCaught()
                 << "download connection(s) taking in a head without end";
}

bool UpdateEngine::isActive() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !m_RootTask)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    m_RootTask->getDownloadProgress(&done, &total, &speed, &downloading);
    // A poll can end the stage (the last time-out of a download); the final zero figures
    // have been sent then, and stale ones must not follow them.
    if (m_State == RUNNING)
        emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING && m_RootTask)
        m_RootTask->cancel();
}

void UpdateEngine::onTaskFinished()
{
    m_Timer->stop();
    m_WatchTimer->stop();
    cleanup();
    m_State = FINISHED;
    emit message(QStringLiteral("Update successfully finished"));
    releaseRootTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    m_Timer->stop();
    m_WatchTimer->stop();
    m_State = CANCELED;
    if (m_RootTask && m_RootTask->state == TaskSpecification::CANCELED)
        emit message(QStringLiteral("User aborted update"));
    releaseRootTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::reset()
{
    requireState(m_State == CANCELED, "m_State==CANCELED");
    m_State = PRE_INIT;
    if (m_RootTask) {
        disconnect(m_RootTask, nullptr, this, nullptr);
        releaseRootTask();
    }
}

void UpdateEngine::releaseRootTask()
{
    if (!m_RootTask)
        return;
    m_RootTask->deleteLater();
    m_RootTask = nullptr;
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    if (m_Configuration->isClientUpdate == 0) {
        // The record stays until the second stage has finished: one that fails or is killed
        // leaves its session directory behind, and only the record leads the next start back to
        // it instead of into a new one. The session stays held until it is handed over.
        qDebug() << "Keeping the session record for the second stage" << updateIniPath();
        return;
    }

    emit message(QStringLiteral("Remove temporary files..."));
    // The second stage runs from the temporary directory: the record read here is its copy there.
    QString tempDir;
    if (UpdateIniData::get(nullptr, nullptr, &tempDir, nullptr)) {
        qDebug() << "Removing temporary files" << tempDir;
        removeDirectory(tempDir);
        bool parentEntered = false;
        removeFromParent(tempDir, &parentEntered);
        QFile::remove(updateIniPath());
        qDebug() << "Deleted local update.ini" << updateIniPath();
        // The first stage's record beside the installed updater; the file also holds the user's
        // channel, proxy and download settings, which stay.
        UpdateIniData::removeSession(QDir(m_Configuration->vl3dir).filePath(QStringLiteral("update.ini")), tempDir);
    }
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::removeDirectory(const QString& path)
{
    // Symbolic links are neither followed nor removed, so nothing outside the tree is touched.
    const QDir dir(path);
    const QDir::Filters common = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    for (const QFileInfo& file : dir.entryInfoList(QDir::Files | common))
        QFile::remove(file.absoluteFilePath());
    for (const QFileInfo& sub : dir.entryInfoList(QDir::Dirs | common)) {
        removeDirectory(sub.absoluteFilePath());
        dir.rmdir(sub.fileName());
    }
}

void UpdateEngine::removeQt4Files(const QString& dir)
{
    static const char* const names[] = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};
    for (const char* name : names) {
        const QString file = QDir(dir).filePath(QLatin1String(name));
        if (QFile::exists(file)) {
            qDebug() << "Remove Qt4 file:" << file;
            QFile::remove(file);
        }
    }
}

void UpdateEngine::removeOldFiles(const QString& dir)
{
    static const char* const names[] = {
        "update",           "libQtCore.so.4",    "libQtGui.so.4",    "libQtNetwork.so.4", "libQtSql.so.4",
        "libQt5Core.so.5",  "libQt5Gui.so.5",    "libQt5Network.so.5", "libQt5Sql.so.5",  "libqgif.so",
        "libqjpeg.so",      "libqtaccessiblewidgets.so", "libsqlite.so"};
    for (const char* name : names) {
        const QString file = QDir(dir).filePath(QStringLiteral("_old_") + QLatin1String(name));
        if (QFile::exists(file))
            qDebug() << "Remove old file:" << file;
        QFile::remove(file);
    }
}
