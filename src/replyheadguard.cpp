#include "replyheadguard.h"

#include <QByteArray>
#include <QDebug>
#include <QEvent>
#include <QList>
#include <QMetaMethod>
#include <QNetworkReply>
#include <QPair>

// The one way to see a queued call's arguments before the receiver takes them.
#include <QtCore/private/qobject_p.h>

namespace {

// Qt's own hand-over of a finished head from its network thread to the reply.
const char kHeadSlot[] = "replyDownloadMetaData";
typedef QList<QPair<QByteArray, QByteArray>> HeaderFields;

// Each field as it came: name, ": ", value and the line's end.
qint64 fieldBytes(const HeaderFields& fields)
{
    qint64 bytes = 0;
    for (const auto& field : fields)
        bytes += field.first.size() + field.second.size() + 4;
    return bytes;
}

} // namespace

ReplyHeadGuard::ReplyHeadGuard(QNetworkReply* reply) : QObject(reply)
{
    static const bool known = [] {
        const bool same = qstrcmp(QT_VERSION_STR, qVersion()) == 0;
        if (!same)
            qWarning().noquote() << QStringLiteral("Reply heads go unchecked: built with Qt %1, running with Qt %2, "
                                                   "whose private events may be laid out differently")
                                        .arg(QLatin1String(QT_VERSION_STR), QLatin1String(qVersion()));
        return same;
    }();
    if (known)
        reply->installEventFilter(this);
}

ReplyHeadGuard* ReplyHeadGuard::watch(QNetworkReply* reply)
{
    return new ReplyHeadGuard(reply);
}

qint64 ReplyHeadGuard::headBytes(const QNetworkReply& reply)
{
    // "HTTP/1.1 200 " and the reason, the status line's end and the head's.
    const qint64 statusLine =
        13 + reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray().size() + 4;
    return statusLine + fieldBytes(reply.rawHeaderPairs());
}

bool ReplyHeadGuard::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MetaCall)
        return false;
    // Calls through functor connections carry no method index; they never match here.
    const QMetaCallEvent* call = static_cast<const QMetaCallEvent*>(event);
    const QMetaMethod slot = watched->metaObject()->method(call->id());
    if (!slot.isValid() || slot.name() != kHeadSlot || slot.parameterCount() < 1
        || slot.parameterType(0) != qMetaTypeId<HeaderFields>())
        return false;
    const HeaderFields& fields = *static_cast<const HeaderFields*>(call->args()[1]);
    const qint64 bytes = fieldBytes(fields);
    if (fields.size() <= kMaxFields && bytes <= kMaxBytes)
        return false;
    emit refused(QStringLiteral("reply head of %1 fields in %2 bytes").arg(fields.size()).arg(bytes));
    return true;
}
