#include "connectionwatch.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

// Calls `visit` with a private duplicate of every TCP socket of this process connected to `port`,
// its inode, the bytes it received and the bytes of those that wait unread. The duplicate keeps
// the socket itself in hand even where its owner closes the descriptor and the number is taken
// again meanwhile.
void forEachConnection(quint16 port,
                       const std::function<void(int fd, quint64 inode, quint64 received, quint64 unread)>& visit)
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
            // Unread bytes asked for after the received ones: what arrives in between counts as
            // not yet read, never as read.
            int unread = 0;
            if (peerPort == port && ::getsockopt(copy, IPPROTO_TCP, TCP_INFO, &tcp, &tcpLength) == 0
                && ::ioctl(copy, SIOCINQ, &unread) == 0)
                visit(copy, quint64(info.st_ino), tcp.tcpi_bytes_received, quint64(qMax(unread, 0)));
        }
        ::close(copy);
    }
}

} // namespace

ConnectionWatch::ConnectionWatch(quint16 port, quint64 readBufferSize)
    : m_Port(port), m_HeldBytes(2 * readBufferSize)
{
}

bool ConnectionWatch::poll(quint64 deliveredBytes)
{
    struct Sample {
        quint64 inode;
        Connection before;
        Connection now;
        quint64 taken;
    };
    std::vector<Sample> samples;
    quint64 takenByAll = 0;
    bool grew = false;
    forEachConnection(m_Port, [&](int, quint64 inode, quint64 received, quint64 unread) {
        Sample sample{inode, m_Connections.value(inode), Connection(), 0};
        sample.now.received = received;
        sample.now.taken = received - qMin(unread, received);
        // A sixty-fourth of what a connection reads need not reach a reply: the chunk-size lines
        // of a healthy stream, and the framing of its heads beyond their count.
        const quint64 taken = sample.now.taken > sample.before.taken ? sample.now.taken - sample.before.taken : 0;
        sample.taken = taken - taken / 64;
        grew = grew || received > sample.before.received;
        takenByAll += sample.taken;
        samples.push_back(sample);
    });
    // Every byte that a healthy connection gave this process reaches a reply, or waits in one of
    // Qt's buffers.
    auto lessCredit = [](quint64 value, quint64 credit) { return value > credit ? value - credit : 0; };
    QHash<quint64, Connection> connections;
    for (Sample& sample : samples) {
        sample.now.beyondAll = lessCredit(sample.before.beyondAll + sample.taken, deliveredBytes);
        const quint64 takenByOthers = takenByAll - sample.taken;
        sample.now.beyondOthers =
            lessCredit(sample.before.beyondOthers + sample.taken, lessCredit(deliveredBytes, takenByOthers));
        connections.insert(sample.inode, sample.now);
    }
    m_Connections = connections;
    return grew;
}

bool ConnectionWatch::isCaught(const Connection& connection) const
{
    return connection.beyondAll > 2 * m_HeldBytes
        || connection.beyondOthers > quint64(kConnectionsPerServer + 2) * m_HeldBytes;
}

bool ConnectionWatch::caught() const
{
    return std::any_of(m_Connections.cbegin(), m_Connections.cend(),
                       [this](const Connection& connection) { return isCaught(connection); });
}

int ConnectionWatch::shutDownCaught()
{
    int count = 0;
    forEachConnection(m_Port, [&](int fd, quint64 inode, quint64, quint64) {
        const auto connection = m_Connections.find(inode);
        if (connection == m_Connections.end() || !isCaught(*connection))
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
        connection->beyondAll = 0;
        connection->beyondOthers = 0;
    });
    return count;
}
