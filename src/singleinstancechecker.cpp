#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

const int kProbeTimeoutMs = 1000;

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
    // fail; remove it when nobody answers on it.
    if (!m_server->listen(name) && m_server->serverError() == QAbstractSocket::AddressInUseError
        && !isAnswering(name)) {
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
    QLocalSocket socket;
    socket.connectToServer(serverName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(kProbeTimeoutMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(kProbeTimeoutMs);
}

void SingleInstanceChecker::onNewConnection()
{
    if (m_socket)
        m_socket->deleteLater();
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
