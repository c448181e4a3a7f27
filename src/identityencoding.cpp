#include "identityencoding.h"

#include <QNetworkReply>
#include <QUrl>

QNetworkRequest identityRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

QByteArray foreignContentEncoding(const QNetworkReply& reply)
{
    const QByteArray encoding = reply.rawHeader("Content-Encoding").trimmed();
    return encoding.isEmpty() || encoding.toLower() == "identity" ? QByteArray() : encoding;
}
