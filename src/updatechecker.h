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
// in a content encoding) to the thread that created it. Deletes itself once its thread has finished.
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

    QNetworkRequest m_Request;
    // The body received so far; touched only on the query thread.
    QByteArray m_Body;
};
