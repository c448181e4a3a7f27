#include "downloadtaskspecification.h"

#include "configuration.h"
#include "identityencoding.h"
#include "replyheadguard.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const qint64 kChunkSize = 4096;
}

quint64 DownloadTaskSpecification::s_DeliveredBytes = 0;

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager, const QString& remotePath,
                                                     int version, const QString& localFile, qint64 expectedSize,
                                                     qint64 maxSize, QObject* parent, qreal weight)
    : TaskSpecification(parent, weight),
      m_NetworkManager(manager),
      m_IdleTicks(0),
      m_RemotePath(remotePath),
      m_Version(version),
      m_File(localFile),
      m_Retries(0),
      m_LastReceived(0),
      m_BytesTotal(expectedSize),
      m_ExpectedSize(expectedSize),
      m_MaxSize(maxSize),
      m_BytesReceived(0),
      m_Completed(false),
      m_CompletedDevice(0),
      m_CompletedInode(0)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        if (m_Reply->isRunning())
            m_Reply->abort();
        m_Reply->deleteLater();
    }
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_RemotePath;
    emit message(QStringLiteral("Downloading %1").arg(m_RemotePath));
    state = RUNNING;
    startDownload();
}

QUrl DownloadTaskSpecification::downloadUrl() const
{
    QStringList segments = m_RemotePath.split('/');
    for (QString& segment : segments)
        segment = QString::fromLatin1(QUrl::toPercentEncoding(segment));
    return QUrl(g_downloadBaseUrl + QString::number(m_Version) + '/' + segments.join('/'), QUrl::TolerantMode);
}

void DownloadTaskSpecification::startDownload()
{
    m_Completed = false;
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(m_File.fileName()));
        setFailed();
        return;
    }
    const QUrl url = downloadUrl();
    qDebug() << "Requesting download of" << url;
    if (m_NetworkManager)
        m_Reply = m_NetworkManager->get(identityRequest(url));
    if (!m_Reply) {
        emit error(QStringLiteral("Download failed to initialize"));
        setFailed();
        return;
    }
    if (m_Reply->isRunning()) {
        m_Reply->setReadBufferSize(kReadBufferSize);
        QNetworkReply* reply = m_Reply;
        connect(ReplyHeadGuard::watch(reply), &ReplyHeadGuard::refused, this, [this, reply](const QString& reason) {
            if (m_Reply == reply)
                retryOrFail(QStringLiteral("%1 came with a %2").arg(m_RemotePath, reason));
        });
        connect(m_Reply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(onDownloadProgress(qint64, qint64)));
        connect(m_Reply, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
        connect(m_Reply, SIGNAL(finished()), this, SLOT(onDownloadFinished()));
        connect(m_Reply, SIGNAL(metaDataChanged()), this, SLOT(onMetaDataChanged()));
    } else {
        retryOrFail(m_Reply->errorString());
    }
}

bool DownloadTaskSpecification::readReplyData()
{
    char buffer[kChunkSize];
    for (;;) {
        if (!m_Reply)
            return true;
        m_IdleTicks = 0;
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 read = m_Reply->read(buffer, std::min(available, kChunkSize));
        if (read == 0)
            return true;
        if (read < 0) {
            retryOrFail(m_Reply->errorString());
            return false;
        }
        if (read > m_MaxSize - m_BytesReceived) {
            retryOrFail(QStringLiteral("%1 is larger than %2 bytes").arg(m_RemotePath).arg(m_MaxSize));
            return false;
        }
        const qint64 written = m_File.write(buffer, read);
        if (written < 0) {
            retryOrFail(m_File.errorString());
            return false;
        }
        if (written != read) {
            retryOrFail(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                            .arg(m_File.fileName())
                            .arg(read)
                            .arg(written));
            return false;
        }
        m_BytesReceived += read;
        s_DeliveredBytes += quint64(read);
        if (m_BytesTotal > 0)
            setProgress(std::min(1.0, qreal(m_BytesReceived) / qreal(m_BytesTotal)));
    }
}

void DownloadTaskSpecification::onReadyRead()
{
    readReplyData();
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal > 0 && m_BytesTotal == -1)
        m_BytesTotal = bytesTotal;
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isNull())
        return;
    s_DeliveredBytes += quint64(ReplyHeadGuard::headBytes(*m_Reply));
    const int code = status.toInt();
    if (code != 200) {
        retryOrFail(QStringLiteral("%1 returned %2").arg(m_RemotePath).arg(code));
        return;
    }
    // Identity was asked for: a body in another encoding is not the file's bytes.
    const QByteArray encoding = foreignContentEncoding(*m_Reply);
    if (!encoding.isEmpty()) {
        retryOrFail(QStringLiteral("%1 was sent with content encoding %2")
                        .arg(m_RemotePath, QString::fromLatin1(encoding)));
        return;
    }
    // A body announced beyond the bound is refused before any of it is read.
    const qint64 announced = m_Reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (announced > m_MaxSize)
        retryOrFail(QStringLiteral("%1 is %2 bytes, larger than %3 bytes").arg(m_RemotePath).arg(announced).arg(m_MaxSize));
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        retryOrFail(m_Reply->errorString());
        return;
    }
    if (!readReplyData())
        return;
    // Qt may finish a reply without error when its connection ends early, a chunked one too: a
    // body short of its length, or of the size the release signed, was cut.
    const QVariant announced = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 whole = std::max(announced.isValid() ? announced.toLongLong() : 0, m_ExpectedSize);
    if (m_BytesReceived < whole) {
        retryOrFail(QStringLiteral("%1 ended after %2 of %3 bytes").arg(m_RemotePath).arg(m_BytesReceived).arg(whole));
        return;
    }
    const QString failure = completeFile();
    if (!failure.isEmpty()) {
        retryOrFail(failure);
        return;
    }
    disconnect(m_Reply, nullptr, this, nullptr);
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
    downloadFinished();
}

QString DownloadTaskSpecification::completeFile()
{
    // Only data that reached the disk counts: a full disk or an I/O error must fail the attempt
    // here instead of leaving a truncated file that looks complete.
    QString reason;
    struct stat info;
    if (!m_File.flush())
        reason = m_File.errorString();
    else if (::fsync(m_File.handle()) != 0 || ::fstat(m_File.handle(), &info) != 0)
        reason = qt_error_string(errno);
    if (reason.isEmpty()) {
        m_File.close();
        if (m_File.error() != QFileDevice::NoError) {
            reason = m_File.errorString();
            m_File.remove();
        } else {
            m_Completed = true;
            m_CompletedDevice = info.st_dev;
            m_CompletedInode = info.st_ino;
        }
    }
    return reason.isEmpty() ? QString()
                            : QStringLiteral("Error writing to file %1: %2").arg(m_File.fileName(), reason);
}

bool DownloadTaskSpecification::removeCompletedFile()
{
    // Compared without following a link: a name that now leads elsewhere is not this file.
    const QByteArray name = QFile::encodeName(m_File.fileName());
    struct stat info;
    if (!m_Completed || ::lstat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode)
        || info.st_dev != m_CompletedDevice || info.st_ino != m_CompletedInode)
        return false;
    m_Completed = false;
    return ::unlink(name.constData()) == 0;
}

void DownloadTaskSpecification::downloadFinished()
{
    const bool exists = m_File.exists();
    qDebug() << "Download finished:" << m_RemotePath << m_File.fileName() << m_File.isOpen() << exists;
    if (!exists) {
        retryOrFail(QStringLiteral("Downloaded file %1 disappeared").arg(m_File.fileName()));
        return;
    }
    emit message(QStringLiteral("Downloading %1 finished").arg(m_RemotePath));
    setFinished();
}

bool DownloadTaskSpecification::retryOrFail(const QString& reason)
{
    cleanup();
    qDebug() << "Attempt failed:" << reason;
    emit message(reason);
    if (m_Retries++ < kMaxAttempts - 1) {
        startDownload();
        return true;
    }
    emit message(QStringLiteral("Unable to download %1").arg(m_RemotePath));
    m_File.remove();
    setFailed();
    return false;
}

void DownloadTaskSpecification::cleanup()
{
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        if (m_Reply->isRunning())
            m_Reply->abort();
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
    m_IdleTicks = 0;
    if (m_File.isOpen()) {
        m_File.close();
        m_File.remove();
    }
    m_LastReceived = 0;
    m_BytesTotal = m_ExpectedSize;
    m_BytesReceived = 0;
    setProgress(0);
}

void DownloadTaskSpecification::getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading)
{
    *done = quint64(m_BytesReceived);
    *total = m_BytesTotal >= 0 ? quint64(m_BytesTotal) : 0;
    *speed = quint64(std::max<qint64>(0, m_BytesReceived - m_LastReceived));
    m_LastReceived = m_BytesReceived;
    // An open file without a reply means the reply was deleted under the attempt: let the
    // time-out end that attempt rather than wait forever.
    if (state == RUNNING && (m_Reply || m_File.isOpen())) {
        if (m_IdleTicks++ >= kIdlePollLimit - 1)
            retryOrFail(QStringLiteral("file %1 timed out").arg(m_RemotePath));
        else
            *downloading = true;
    }
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state != RUNNING)
        return;
    cleanup();
    setCanceled();
}

void DownloadTaskSpecification::abort(TaskSpecification*)
{
    if (m_Reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(m_RemotePath));
        cleanup();
    }
    setFailed();
}

void DownloadTaskSpecification::reset()
{
    cleanup();
    m_Retries = 0;
    TaskSpecification::reset();
}
