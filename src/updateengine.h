// Runs one stage of an update in this process: records the session, builds and executes the
// root task, polls it once a second for download progress (the clock of the download time-outs)
// and cleans up when it ends. It has no user interface: everything leaves through its signals.
#pragma once

#include "connectionwatch.h"
#include "filelock.h"

#include <QObject>
#include <QString>

#include <memory>

class Configuration;
class MainTaskSpecification;
class QNetworkAccessManager;
class QTimer;

class UpdateEngine : public QObject {
    Q_OBJECT

public:
    enum State { PRE_INIT = 0, POST_INIT = 1, RUNNING = 2, FINISHED = 3, CANCELED = 4 };

    // The configuration is not owned; its `message` is relayed through the engine's own.
    UpdateEngine(Configuration* cfg, QObject* parent);

    // Requires PRE_INIT: continues or discards the recorded session and records the current one;
    // false, with the error sent, while another stage still works in the recorded session.
    bool initialize();
    // Requires POST_INIT: builds the root task, starts the poll timer and executes the task.
    bool startUpdate();
    bool isActive() const;
    // Requires CANCELED: back to PRE_INIT; the session record and temporary directory stay.
    void reset();
    // End-of-stage removal of the session's files.
    void cleanup();

    int state() const { return m_State; }
    // The manager, carrying the proxy setting, that every download of the root task uses.
    QNetworkAccessManager* networkManager() const { return m_NetworkManager; }
    // Held from initialize() on; the first stage hands it to the second with the start.
    const FileLock& sessionLock() const { return m_SessionLock; }

    // Leftovers of earlier updater versions; called by start-up before the window exists.
    static void removeOldFiles(const QString& dir);
    static void removeQt4Files(const QString& dir);

public slots:
    void cancelUpdate();
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed, bool downloading);
    void message(QString message);
    // After the error: another stage works in the recorded session, so this start has nothing to do.
    void otherUpdateRunning();
    void updateFinished();
    void updateCanceled();

private:
    // Empties a directory tree without following symbolic links; the directory itself stays.
    static void removeDirectory(const QString& path);
    void applyProxy();
    // Shuts down a download connection that takes in a head without end; a hundred times a
    // second, for such a head grows by hundreds of MiB a second. It may hold the thread for a
    // moment.
    void watchDownloadConnections();
    void releaseRootTask();
    // Finishes or undoes the replacement step that a killed run of the session left behind;
    // false, with the error sent, when the client's files could not be brought back: no update
    // may start over files that are neither the old release nor the new one.
    bool recoverInterruptedReplacement(const QString& sessionDir);
    // Holds the session directory for this stage, or takes it over from the first stage; false,
    // with the error sent, while another stage works in it: its record of changes is no leftover
    // to undo.
    bool holdSession(const QString& sessionDir);
    // Finishes what a killed run left in the session and writes the session record; false, with
    // the error sent, when either fails.
    bool recordSession();
    // Lets go of and removes a session directory that this start made but cannot use.
    void discardSessionDirectory(const QString& sessionDir);

    int m_State;
    Configuration* m_Configuration;
    MainTaskSpecification* m_RootTask;
    QTimer* m_Timer;
    QTimer* m_WatchTimer;
    QNetworkAccessManager* m_NetworkManager;
    // A lock file in the session directory, held while this stage works in it.
    FileLock m_SessionLock;
    // While the root task runs: its download connections, and the bytes delivered to the
    // downloads at the last look at them.
    std::unique_ptr<ConnectionWatch> m_DownloadConnections;
    quint64 m_DeliveredBytes = 0;
};
