// One file from the file server: an HTTP GET streamed into a local file in small chunks, with up
// to five attempts. A transfer that stays silent for 16 progress polls, whose body grows past the
// most bytes the file may have or ends short of its length or expected size, that comes in a
// content encoding, or whose head is far beyond any real server's, is a failed attempt.
#pragma once

#include "taskspecification.h"

#include <QFile>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <sys/types.h>

class QNetworkAccessManager;
class QNetworkReply;

class DownloadTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    static constexpr int kMaxAttempts = 5;
    // Polls in a row without data that end an attempt.
    static constexpr int kIdlePollLimit = 16;
    // What the network thread reads of a reply ahead of the task: a fast server cannot pile the
    // body up in memory faster than the file takes it.
    static constexpr qint64 kReadBufferSize = 256 << 10;

    // `remotePath` is "/"-separated below the version folder; `expectedSize` -1 means unknown.
    // No attempt writes more than `maxSize` bytes: a server that sends more is not trusted with
    // the disk. The manager carries the proxy; it is not owned.
    DownloadTaskSpecification(QNetworkAccessManager* manager, const QString& remotePath, int version,
                              const QString& localFile, qint64 expectedSize, qint64 maxSize, QObject* parent,
                              qreal weight);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading) override;
    void cancel() override;
    void abort(TaskSpecification* other) override;
    // The reply has been drained into the file and the file is safely written and closed.
    virtual void downloadFinished();

    // Base URL + version + "/" + the remote path with every segment percent-encoded.
    QUrl downloadUrl() const;

    // Counts the bytes of every head and body that reach any download of this process: what the
    // network thread delivers.
    static quint64 deliveredBytes() { return s_DeliveredBytes; }

    // Removes the file that the last attempt completed, for a file found unfit afterwards; false
    // when its name no longer holds that very file, which then stays.
    bool removeCompletedFile();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();

private:
    void startDownload();
    // False when it handed the attempt to retryOrFail.
    bool readReplyData();
    // Ends the current attempt; true when another one started.
    bool retryOrFail(const QString& reason);
    void cleanup();
    // Flushes the file to the disk and closes it; an error text on failure.
    QString completeFile();

    // Guarded: the manager and the reply may be deleted by others (the reply with its manager).
    QPointer<QNetworkAccessManager> m_NetworkManager;
    QPointer<QNetworkReply> m_Reply;
    int m_IdleTicks;
    QString m_RemotePath;
    int m_Version;
    QFile m_File;
    int m_Retries;
    qint64 m_LastReceived;
    qint64 m_BytesTotal;
    qint64 m_ExpectedSize;
    qint64 m_MaxSize;
    qint64 m_BytesReceived;
    // The completed file as the file system knows it, so that its removal takes nothing else.
    bool m_Completed;
    dev_t m_CompletedDevice;
    ino_t m_CompletedInode;

    static quint64 s_DeliveredBytes;
};
