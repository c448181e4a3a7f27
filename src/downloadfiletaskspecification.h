// The downloads of an update plan: one verified file download (fetch, then SHA-512 check) per
// entry of the download list, a few at a time, into the stage's temporary directory.
#pragma once

#include "composedtaskspecification.h"
#include "updatelists.h"

#include <QList>
#include <QString>

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// Fetches one listed file and then checks it against its digest; a mismatch fails the task and
// removes the file.
class DownloadFileTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const DownloadEntry& entry, QNetworkAccessManager* manager,
                                  Configuration* configuration, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void subtasksDone() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    void makeSubtasksAndStart();

    DownloadEntry m_Entry;
    QNetworkAccessManager* m_NetworkManager;
    Configuration* m_Configuration;
    // The two subtasks of the current run; null before it.
    DownloadTaskSpecification* m_Download;
    CheckSignatureTaskSpecification* m_Check;
};

// Makes the folders below the temporary directory, then runs one file download per entry.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // Qt's network manager runs at most six requests per host; more would wait inside it without
    // data and run into false time-outs.
    static constexpr int kMaxParallelDownloads = 6;

    // The list is read when the task executes; none of the pointers is owned.
    DownloadFileListTaskSpecification(const QList<DownloadEntry>* downloads, QNetworkAccessManager* manager,
                                      Configuration* configuration, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading) override;

private:
    void makeSubtasksAndStart();
    // Makes the folders of every key; false (after the message) when one cannot be made or a
    // key leads out of the temporary directory through a symbolic link.
    bool makeFolders();

    const QList<DownloadEntry>* m_Downloads;
    QNetworkAccessManager* m_NetworkManager;
    Configuration* m_Configuration;
    quint64 m_TotalBytes;
};
