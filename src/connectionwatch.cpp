#include "connectionwatch.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

// Calls `visit` with a private duplicate of every TCP socket of this process connected to `port`,
// its inode and its received bytes. The duplicate keeps the socket itself in hand even where its
// owner closes the descriptor and the number is taken again meanwhile.
void forEachConnection(quint16 port, const std::function<void(int fd, quint64 inode, quint64 received)>& visit)
{
    const QStringList descriptors = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    for (const QString& name : descriptors) {
        if (!QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + name).contains(QLatin1String("socket:[")))
            continue;
        bool ok = false;
        const int fd = name.toInt(&ok);
        const int copy = ok ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
        if (copy < 0)
            continue;
        struct stat info;
        int type = 0;
        socklen_t typeLength = sizeof type;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        struct tcp_info tcp{};
        socklen_t tcpLength = sizeof tcp;
        if (::fstat(copy, &info) == 0 && S_ISSOCK(info.st_mode)
            && ::getsockopt(copy, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_STREAM
            && ::getpeername(copy, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
            quint16 peerPort = 0;
            if (peer.ss_family == AF_INET)
                peerPort = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
            else if (peer.ss_family == AF_INET6)
                peerPort = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
            if (peerPort == port && ::getsockopt(copy, IPPROTO_TCP, TCP_INFO, &tcp, &tcpLength) == 0)
                visit(copy, quint64(info.st_ino), tcp.tcpi_bytes_received);
        }
        ::close(copy);
    }
}

} // namespace

ConnectionWatch::ConnectionWatch(quint16 port) : m_Port(port) {}

bool ConnectionWatch::poll(bool progressed)
{
    QHash<quint64, quint64> received;
    QHash<quint64, int> caughtPolls;
    bool grew = false;
    forEachConnection(m_Port, [&](int, quint64 inode, quint64 bytes) {
        received.insert(inode, bytes);
        const quint64 before = m_Received.value(inode, 0);
        grew = grew || bytes > before;
        if (!progressed && bytes > before + kCaughtBytesPerPoll)
            caughtPolls.insert(inode, m_CaughtPolls.value(inode, 0) + 1);
    });
    m_Received = received;
    m_CaughtPolls = caughtPolls;
    return grew;
}

bool ConnectionWatch::caught() const
{
    for (const int polls : m_CaughtPolls) {
        if (polls >= kCaughtPolls)
            return true;
    }
    return false;
}

int ConnectionWatch::shutDownCaught()
{
    int count = 0;
    forEachConnection(m_Port, [&](int fd, quint64 inode, quint64) {
        if (m_CaughtPolls.value(inode, 0) < kCaughtPolls)
            return;
        // Reset rather than closed: a server kept waiting for room to send learns at once that
        // nobody reads. What waits unread goes as well, so that Qt's thread meets the end at once.
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        if (::shutdown(fd, SHUT_RDWR) != 0)
            return;
        ++count;
        while (::recv(fd, nullptr, 1 << 30, MSG_TRUNC | MSG_DONTWAIT) > 0) {
        }
        m_CaughtPolls.remove(inode);
    });
    return count;
}
