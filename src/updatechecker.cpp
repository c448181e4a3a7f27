#include "updatechecker.h"

#include "connectionwatch.h"
#include "downloadtaskspecification.h"
#include "identityencoding.h"
#include "replyheadguard.h"
#include "versionsinfo.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

namespace {

// A version reply is a few hundred bytes; a server that sends more is not given the memory.
const qint64 kMaxReplySize = 1024 * 1024;
// What Qt's network thread may hold for the reader: without a bound it reads the socket as fast
// as the server sends, and the bytes pile up in queued events before the reader can count them.
const qint64 kReadBufferSize = 64 * 1024;

} // namespace

void registerUpdateVersionsMetaType()
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
}

QPair<QString, QString> versionForChannel(const UpdateVersions& versions, int channel)
{
    static const char* const names[] = {"stable", "beta", "alpha"};
    if (channel < 0 || channel > 2)
        return QPair<QString, QString>();
    return versions.value(QString::fromLatin1(names[channel]));
}

UpdateChecker::UpdateChecker(QObject* parent)
    : QObject(parent)
{
}

void UpdateChecker::check()
{
    const QUrl url(QString::fromStdString(defaultVersionServerUrl()), QUrl::TolerantMode);
    HTTPDownloader* downloader = new HTTPDownloader(identityRequest(url));
    connect(downloader, &HTTPDownloader::download_available, this, &UpdateChecker::on_updateCheckAvailable);
    downloader->start(QThread::InheritPriority);
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    VersionsInfo info{};
    const int result = parseVersionsReply(updateData.constData(), updateData.size(), &info);

    UpdateVersions hash;
    if (result == 0) {
        for (const std::string& name : info.channelNames) {
            const auto it = info.channels.find(name);
            const QString text = it != info.channels.end() ? QString::fromStdString(it->second.version_string)
                                                           : QString();
            const quint32 number = it != info.channels.end() ? quint32(it->second.version_number) : 0;
            hash.insert(QString::fromStdString(name), qMakePair(QString::number(number), text));
        }
    }
    emit update_available(hash);
    deleteLater();
}

HTTPDownloader::HTTPDownloader(const QNetworkRequest& request)
    : QThread(nullptr)
    , m_Request(request)
{
    // finished() is emitted from the ending thread; the deletion it schedules runs on the
    // creating thread, and the destructor still waits for run() to have returned.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

HTTPDownloader::~HTTPDownloader()
{
    wait();
}

void HTTPDownloader::run()
{
    QNetworkAccessManager* manager = new QNetworkAccessManager();
    // Direct: the reply belongs to this thread and is read here, not on the creating thread.
    connect(manager, &QNetworkAccessManager::finished, this, &HTTPDownloader::on_downloadFinished,
            Qt::DirectConnection);
    QNetworkReply* reply = manager->get(m_Request);
    reply->setReadBufferSize(kReadBufferSize);
    connect(reply, &QNetworkReply::readyRead, reply, [this, reply] { takeData(reply); });
    connect(reply, &QNetworkReply::metaDataChanged, reply,
            [this, reply] { m_DeliveredBytes += quint64(ReplyHeadGuard::headBytes(*reply)); });
    connect(ReplyHeadGuard::watch(reply), &ReplyHeadGuard::refused, reply, [reply](const QString& reason) {
        qDebug() << "Version reply refused:" << reason;
        reply->abort();
    });
    ConnectionWatch connection(ConnectionWatch::portFor(m_Request.url(), manager->proxy()), kReadBufferSize);
    QTimer poll;
    poll.setInterval(1000);
    connect(&poll, &QTimer::timeout, reply, [this, reply, &connection] { pollReply(reply, &connection); });
    poll.start();
    exec();
    delete manager;
}

void HTTPDownloader::pollReply(QNetworkReply* reply, ConnectionWatch* connection)
{
    const bool incoming = connection->poll(m_DeliveredBytes);
    if (m_DeliveredBytes > 0)
        m_PollsWithoutProgress = 0;
    else if (incoming)
        ++m_PollsWithoutProgress;
    m_DeliveredBytes = 0;
    const bool caught = connection->caught();
    if (!caught && m_PollsWithoutProgress < DownloadTaskSpecification::kIdlePollLimit)
        return;
    qDebug() << "Version reply refused: no head or body byte reached it in" << m_PollsWithoutProgress
             << "polls of incoming bytes" << (caught ? "(a head without end)" : "");
    // The abort is queued to the network thread before the shutdown frees it, so that it drops
    // the reply before it can send the request again on meeting the connection's end.
    reply->abort();
    if (caught)
        connection->shutDownCaught();
}

void HTTPDownloader::takeData(QNetworkReply* reply)
{
    const QByteArray data = reply->readAll();
    m_DeliveredBytes += quint64(data.size());
    m_Body += data;
    if (m_Body.size() > kMaxReplySize)
        reply->abort();
}

void HTTPDownloader::on_downloadFinished(QNetworkReply* reply)
{
    // Identity was asked for: a body in another encoding is not the reply itself.
    const QByteArray encoding = foreignContentEncoding(*reply);
    if (!encoding.isEmpty())
        qDebug() << "Version reply refused: sent with content encoding" << encoding;
    const bool received = reply->error() == QNetworkReply::NoError && encoding.isEmpty();
    if (received)
        takeData(reply);
    // Checked again here: a reply that arrived whole in one piece is already finished when its
    // data is announced, and aborting it then has no effect.
    emit download_available(received && m_Body.size() <= kMaxReplySize ? m_Body : QByteArray());
    reply->deleteLater();
    quit();
}
