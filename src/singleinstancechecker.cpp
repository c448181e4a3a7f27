#include "singleinstancechecker.h"

#include "configuration.h"
#include "filelock.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kProbeTimeoutMs = 1000;
// How long a start that lost the claim waits for the winner to listen.
const int kClaimHolderWaitMs = 5000;
const int kRetryIntervalMs = 50;

// The lock on the claim file, held until the process ends.
FileLock g_claim;

// Named after the user, in the temporary folder: the program writes nowhere else beside the
// client. Any account may take the name first, so it is used only when it is the user's own.
QString ownRuntimeFolder()
{
    return QDir::tempPath() + "/voxlane_runtime_" + QString::number(::geteuid());
}

// The user's runtime folder, or one of our own where the session has none. Nobody else may be
// able to create entries in it, or they could plant the name.
QString runtimeFolder()
{
    const QString session = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (Configuration::isPrivateDirectory(session))
        return QDir::cleanPath(session);
    const QString own = ownRuntimeFolder();
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    return Configuration::isPrivateDirectory(own) ? own : QString();
}

// Takes the claim on the instance name unless another process holds it.
bool claim(const QString& serverPath)
{
    return g_claim.acquire(serverPath + ".lock", 0) == FileLock::Held;
}

// Whether anything accepts connections under `path`, without sending it anything.
bool isAnswering(const QString& path)
{
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    return socket.waitForConnected(kProbeTimeoutMs);
}

bool deliver(const QString& path, const QString& message)
{
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kProbeTimeoutMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(kProbeTimeoutMs);
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
    , m_socket(nullptr)
{
    connect(m_server, SIGNAL(newConnection()), this, SLOT(onNewConnection()));
    const QString path = serverPath();
    if (path.isEmpty())
        return;
    // A crashed instance leaves its socket behind, which would make every later listen fail.
    // Only the holder of the claim clears it, so no other start can be listening there anew.
    if (!m_server->listen(path) && m_server->serverError() == QAbstractSocket::AddressInUseError && claim(path)
        && !isAnswering(path)) {
        QLocalServer::removeServer(path);
        m_server->listen(path);
    }
    if (!m_server->isListening())
        qWarning() << "Cannot listen for other starts on" << path << m_server->errorString();
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

QString SingleInstanceChecker::serverPath()
{
    const QString folder = runtimeFolder();
    return folder.isEmpty() ? QString() : folder + '/' + serverName();
}

bool SingleInstanceChecker::isOtherInstanceRunning(const QString& message)
{
    const QString path = serverPath();
    // The session lock still keeps two updates apart; only the knock on the running window is lost.
    if (path.isEmpty()) {
        qWarning() << "No private runtime folder for the instance name: XDG_RUNTIME_DIR and"
                   << ownRuntimeFolder() << "are missing or not the user's own; running without it";
        return false;
    }
    if (deliver(path, message))
        return true;
    if (claim(path))
        return false;
    // Another start holds the claim and may not listen yet: two starts within moments.
    const QDeadlineTimer deadline(kClaimHolderWaitMs);
    while (!deliver(path, message)) {
        if (deadline.hasExpired()) {
            qDebug() << "The other instance did not answer";
            break;
        }
        QThread::msleep(kRetryIntervalMs);
    }
    return true;
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
