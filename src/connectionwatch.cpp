#include "connectionwatch.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QThread>
#include <QUrl>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

quint16 peerPortOf(const sockaddr_storage& peer)
{
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    return 0;
}

// Calls `visit` with a private duplicate of every TCP socket of this process connected to `port`,
// its inode, the bytes it received and the bytes of those that wait unread. The duplicate keeps
// the socket itself in hand even where its owner closes the descriptor and the number is taken
// again meanwhile. Looked at many times a second: it reads the descriptor table on the stack,
// without allocating. False when it could not look at every socket (out of descriptors).
template <typename Visit>
bool forEachConnection(quint16 port, Visit visit)
{
    const int table = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (table < 0)
        return false;
    bool complete = true;
    alignas(8) char entries[8192];
    long length;
    while ((length = ::syscall(SYS_getdents64, table, entries, sizeof entries)) > 0) {
        for (long offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(entries + offset);
            offset += entry->d_reclen;
            char target[32];
            const ssize_t targetLength = ::readlinkat(table, entry->d_name, target, sizeof target);
            static const char kSocket[] = "socket:[";
            if (targetLength < ssize_t(sizeof kSocket - 1) || std::memcmp(target, kSocket, sizeof kSocket - 1) != 0)
                continue;
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (*end != '\0' || fd == table)
                continue;
            const int copy = ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
            if (copy < 0) {
                // Closed meanwhile, or no descriptor left for the copy.
                complete = complete && errno == EBADF;
                continue;
            }
            struct stat info;
            sockaddr_storage peer{};
            socklen_t peerLength = sizeof peer;
            struct tcp_info tcp{};
            socklen_t tcpLength = sizeof tcp;
            int unread = 0;
            // Unread bytes asked for after the received ones: what arrives in between counts as
            // not yet read, never as read.
            if (::fstat(copy, &info) == 0 && S_ISSOCK(info.st_mode)
                && ::getpeername(copy, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0
                && peerPortOf(peer) == port && ::getsockopt(copy, IPPROTO_TCP, TCP_INFO, &tcp, &tcpLength) == 0
                && ::ioctl(copy, SIOCINQ, &unread) == 0)
                visit(copy, quint64(info.st_ino), tcp.tcpi_bytes_received, quint64(qMax(unread, 0)));
            ::close(copy);
        }
    }
    ::close(table);
    return complete && length == 0;
}

// Resident memory of this process that no file backs: where a head without end grows.
quint64 anonymousMemory()
{
    FILE* statm = std::fopen("/proc/self/statm", "re");
    unsigned long long size = 0, resident = 0, shared = 0;
    const bool read = statm && std::fscanf(statm, "%llu %llu %llu", &size, &resident, &shared) == 3;
    if (statm)
        std::fclose(statm);
    return read && resident > shared ? quint64(resident - shared) * quint64(::sysconf(_SC_PAGESIZE)) : 0;
}

// Growth of that memory, since the last probe, that calls for one: far beyond what the replies'
// buffers take, and well below what would strain the machine.
const quint64 kSuspectGrowth = 8 << 20;
// A probe looks this often for at most kMaxProbeMs, and takes a connection to have stopped once it
// took nothing for kSettleMs.
const int kProbeStepMs = 10;
const int kMaxProbeMs = 1500;
const int kSettleMs = 50;

} // namespace

ConnectionWatch::ConnectionWatch(quint16 port, quint64 readBufferSize)
    // While its reply takes nothing, Qt reads a connection until the reply holds one buffer of
    // body bytes, its parser one more and the sockets theirs: with one-byte chunks, which frame
    // each body byte in six, some eight buffers of bytes. A connection is caught beyond twice
    // that, and a probe called for once all took in as much beyond what reached the replies.
    : m_Port(port),
      m_CaughtBytes(16 * readBufferSize),
      m_LeastMemory(anonymousMemory())
{
}

quint16 ConnectionWatch::portFor(const QUrl& url, const QNetworkProxy& proxy)
{
    // A manager left at the default takes the application's proxy, or the system's.
    const QNetworkProxy used = proxy.type() == QNetworkProxy::DefaultProxy
        ? QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)).value(0, QNetworkProxy(QNetworkProxy::NoProxy))
        : proxy;
    if (used.type() == QNetworkProxy::HttpProxy || used.type() == QNetworkProxy::Socks5Proxy)
        return used.port();
    const bool https = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    return quint16(url.port(https ? 443 : 80));
}

template <typename Step>
bool ConnectionWatch::sample(Step step)
{
    ++m_Sample;
    const bool complete = forEachConnection(m_Port, [&](int, quint64 inode, quint64 received, quint64 unread) {
        Connection& connection = m_Connections[inode];
        // Unread bytes are asked for after the received ones: what arrives in between counts as
        // not yet read, for a moment less than before.
        const quint64 taken = std::max(connection.taken, received - std::min(unread, received));
        const quint64 newlyTaken = taken - connection.taken;
        const quint64 newlyReceived = received > connection.received ? received - connection.received : 0;
        connection.received = received;
        connection.taken = taken;
        connection.sample = m_Sample;
        step(inode, connection, newlyTaken, newlyReceived);
    });
    // A connection that a scan missed keeps its counts: seen again, it is not new.
    for (auto connection = m_Connections.begin(); complete && connection != m_Connections.end();) {
        if (connection->sample == m_Sample)
            ++connection;
        else
            connection = m_Connections.erase(connection);
    }
    return !m_Connections.isEmpty();
}

bool ConnectionWatch::poll(quint64 deliveredBytes)
{
    quint64 takenByAll = 0;
    bool grew = false;
    const bool any = sample([&](quint64, Connection& connection, quint64 newlyTaken, quint64 newlyReceived) {
        grew = grew || newlyReceived > 0;
        takenByAll += newlyTaken;
        // A byte that reached a reply ends every connection's stretch: it may have been its own.
        connection.unreached = deliveredBytes > 0 ? 0 : connection.unreached + newlyTaken;
    });
    m_Unaccounted = m_Unaccounted + takenByAll > deliveredBytes ? m_Unaccounted + takenByAll - deliveredBytes : 0;
    m_UnaccountedProbed = std::min(m_UnaccountedProbed, m_Unaccounted);
    // Connections that come and go between two polls are not seen here, and what they deliver
    // hides another's bytes from that count; not from the memory a head takes.
    const quint64 memory = anonymousMemory();
    if (memory > 0)
        m_LeastMemory = m_LeastMemory > 0 ? std::min(m_LeastMemory, memory) : memory;
    const quint64 grown = memory > m_LeastMemory ? memory - m_LeastMemory : 0;
    if (any && !caught() && (m_Unaccounted > m_UnaccountedProbed + m_CaughtBytes || grown > kSuspectGrowth)) {
        // A probe that found nothing while these bytes still went unaccounted may have met a head
        // between two bursts: the next one waits for the whole time.
        const bool patient = m_UnaccountedProbed > 0;
        qDebug() << "Probing the connections to port" << m_Port << "after" << m_Unaccounted
                 << "bytes taken in beyond those delivered and" << grown << "bytes grown"
                 << (patient ? "(patiently)" : "");
        probe(patient);
    }
    return grew;
}

void ConnectionWatch::probe(bool patient)
{
    QElapsedTimer clock;
    clock.start();
    // When each connection last took bytes in, in ms since the probe began.
    QHash<quint64, qint64> lastTaken;
    for (;;) {
        QThread::msleep(kProbeStepMs);
        const qint64 now = clock.elapsed();
        bool settled = true;
        sample([&](quint64 inode, Connection& connection, quint64 newlyTaken, quint64) {
            connection.unreached += newlyTaken;
            if (newlyTaken > 0)
                lastTaken[inode] = now;
            settled = settled && (isCaught(connection) || now - lastTaken.value(inode) >= kSettleMs);
        });
        if ((settled && !patient) || caught() || now >= kMaxProbeMs)
            break;
    }
    if (!caught())
        m_UnaccountedProbed = m_Unaccounted;
    m_LeastMemory = anonymousMemory();
}

bool ConnectionWatch::isCaught(const Connection& connection) const
{
    return connection.unreached > m_CaughtBytes;
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
        connection->unreached = 0;
    });
    if (count > 0)
        m_Unaccounted = m_UnaccountedProbed = 0;
    return count;
}
