// The version query: one HTTP GET to the version server on a thread of its own, decoded into the
// current version of every channel.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QNetworkRequest>
#include <QObject>
#include <QPair>
#include <QString>
#include <QThread>

class ConnectionWatch;
class QNetworkReply;

// Channel name -> (version number in decimal, version string). Empty when the query failed.
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;
Q_DECLARE_METATYPE(UpdateVersions)

void registerUpdateVersionsMetaType();

// The entry of channel 0 ("stable"), 1 ("beta") or 2 ("alpha"); two empty texts when missing.
QPair<QString, QString> versionForChannel(const UpdateVersions& versions, int channel);

class UpdateChecker : public QObject {
    Q_OBJECT

public:
    explicit UpdateChecker(QObject* parent);

    // Starts the query and returns at once; `update_available` follows once, then the checker
    // deletes itself.
    void check();

signals:
    void update_available(UpdateVersions);

private slots:
    void on_updateCheckAvailable(QByteArray updateData);
};

// Runs one GET on its own thread and hands the body (empty on any network error, and for a body
// in a content encoding) to the thread that created it. A server may take its time to answer,
// but a reply that keeps coming without a head or body byte reaching it is given up, as is a head
// far beyond any real server's. Deletes itself once its thread has finished.
class HTTPDownloader : public QThread {
    Q_OBJECT

public:
    explicit HTTPDownloader(const QNetworkRequest& request);
    ~HTTPDownloader() override;

protected:
    void run() override;

signals:
    void download_available(QByteArray data);

private slots:
    // Runs on the query thread, which owns the reply.
    virtual void on_downloadFinished(QNetworkReply* reply);

private:
    // Collects the body as it arrives and gives up on one larger than any real reply.
    void takeData(QNetworkReply* reply);
    // Once a second: gives the reply up once its connection has taken in bytes of which nothing
    // reached the reply in as many polls as a download may stay silent, or at once when the
    // connection takes in a head without end.
    void pollReply(QNetworkReply* reply, ConnectionWatch* connection);

    QNetworkRequest m_Request;
    // Touched only on the query thread: the body received so far, the bytes of head and body
    // that reached the reply since the last poll, and the polls with incoming bytes but nothing
    // for it.
    QByteArray m_Body;
    quint64 m_DeliveredBytes = 0;
    int m_PollsWithoutProgress = 0;
};
