#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kProbeTimeoutMs = 1000;

// Whether the socket file behind `name` (relative names live in the temporary folder) is this
// user's. Anybody can create the predictable name in the shared folder; a socket of another
// user is no running instance of ours and must not make this start give up.
bool isOwnSocket(const QString& name)
{
    struct stat st;
    const QByteArray path = QFile::encodeName(QDir::tempPath() + '/' + name);
    return ::lstat(path.constData(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid();
}

// Whether anything accepts connections under `name`, without sending it anything.
bool isAnswering(const QString& name)
{
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    return socket.waitForConnected(kProbeTimeoutMs);
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
    , m_socket(nullptr)
{
    connect(m_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
    const QString name = serverName();
    // A crashed instance leaves its socket name behind, which would make every later listen
    // fail; remove it when nobody answers on it, or when it is not ours (possible only where
    // the folder lets us).
    if (!m_server->listen(name) && m_server->serverError() == QAbstractSocket::AddressInUseError
        && (!isOwnSocket(name) || !isAnswering(name))) {
        QLocalServer::removeServer(name);
        m_server->listen(name);
    }
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_server->close();
    if (m_socket)
        m_socket->close();
}

QString SingleInstanceChecker::serverName()
{
    QString text = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    text.remove('/');
    text.remove(':');
    const QByteArray bytes = text.toUtf8();
    return QStringLiteral("VL3ClientUpdate") + QString::number(qChecksum(bytes.constData(), uint(bytes.size())), 16);
}

bool SingleInstanceChecker::isOtherInstanceRunning(const QString& message)
{
    const QString name = serverName();
    if (!isOwnSocket(name))
        return false;
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kProbeTimeoutMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(kProbeTimeoutMs);
}

void SingleInstanceChecker::onNewConnection()
{
    if (m_socket) {
        // Until its deferred deletion it could still announce data, which onReadyRead would
        // then read from the new connection.
        m_socket->disconnect(this);
        m_socket->deleteLater();
    }
    m_socket = m_server->nextPendingConnection();
    if (m_socket)
        connect(m_socket, SIGNAL(readyRead()), this, SLOT(onReadyRead()));
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray data = m_socket->readAll();
    const int nul = data.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? data : data.left(nul));
    QLocalSocket* socket = m_socket;
    m_socket = nullptr;
    // Released from within its own notification, so only once control has left it.
    socket->disconnect(this);
    socket->close();
    socket->deleteLater();
    emit otherInstanceActivate(text);
}
