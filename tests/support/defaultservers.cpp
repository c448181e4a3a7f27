#include "defaultservers.h"

#include <QUrl>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket bound to the port without listening; -1 when the port is bound already. Test
// binaries of the same account share the port (SO_REUSEPORT), which keeps out everybody else.
int bindWithoutListening(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const sockaddr_in address = loopback(port);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0
        || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool refusesConnections(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool refused = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
                         && errno == ECONNREFUSED;
    if (fd >= 0)
        ::close(fd);
    return refused;
}

} // namespace

QString DefaultServersHeldClosed::hold()
{
    const QUrl servers[] = {QUrl(QStringLiteral("http://" VL_VERSION_SERVER_HOST "/")),
                            QUrl(QStringLiteral(VL_FILE_SERVER_BASE_URL))};
    for (const QUrl& server : servers) {
        const int port = server.port();
        if (server.host() != "127.0.0.1" || port <= 0) {
            return "The test build reaches " + server.toString()
                   + " by default. Build the tests with the default VL_VERSION_SERVER_HOST and "
                     "VL_FILE_SERVER_BASE_URL, or with ones that name a port on 127.0.0.1.";
        }
        // A test binary of another account may hold the port already; then it only has to refuse.
        const int fd = bindWithoutListening(quint16(port));
        if (fd >= 0)
            m_Sockets << fd;
        if (!refusesConnections(quint16(port))) {
            return QString("Another program listens on 127.0.0.1:%1, where the program under test finds its "
                           "servers by default. Stop it, or build the tests with VL_VERSION_SERVER_HOST and "
                           "VL_FILE_SERVER_BASE_URL on a free port of 127.0.0.1.")
                .arg(port);
        }
    }
    return QString();
}

DefaultServersHeldClosed::~DefaultServersHeldClosed()
{
    for (const int fd : m_Sockets)
        ::close(fd);
}
