#include "httpserverfixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const char* const kScript = VL_TEST_SUPPORT_DIR "/httpserver.py";

// One blocking GET over a plain socket, so reading the server's state never runs the Qt
// event loop of the code under test.
QByteArray httpGet(quint16 port, const QByteArray& path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return QByteArray();
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const QByteArray request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
            char buffer[4096];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                reply.append(buffer, int(n));
        }
    }
    ::close(fd);
    if (!reply.startsWith("HTTP/1.1 200"))
        return QByteArray();
    const int bodyStart = reply.indexOf("\r\n\r\n");
    return bodyStart < 0 ? QByteArray() : reply.mid(bodyStart + 4);
}

} // namespace

TestHttpServer::TestHttpServer(const QString& root, int lifetimeSeconds, const QString& logFile,
                               const QStringList& extraArgs)
    : m_Tls(extraArgs.contains(QStringLiteral("--tls-cert")))
{
    const QString portFile = m_StateDir.filePath("port");
    std::vector<QByteArray> args = {"python3", kScript, "--root", QFile::encodeName(root),
                                    "--port-file", QFile::encodeName(portFile), "--lifetime",
                                    QByteArray::number(lifetimeSeconds)};
    if (!logFile.isEmpty()) {
        args.push_back("--log");
        args.push_back(QFile::encodeName(logFile));
    }
    // Control requests below stay plain http: the script answers them so on a TLS port too.
    for (const QString& a : extraArgs)
        args.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&m_Pid, "python3", nullptr, nullptr, argv.data(), environ) != 0) {
        m_Pid = -1;
        ADD_FAILURE() << "could not start python3 " << kScript;
        return;
    }

    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        QFile f(portFile);
        if (f.open(QIODevice::ReadOnly)) {
            const quint16 port = quint16(f.readAll().trimmed().toUInt());
            if (port != 0 && !httpGet(port, "/_control/stats").isEmpty()) {
                m_Port = port;
                return;
            }
        }
        if (::waitpid(m_Pid, nullptr, WNOHANG) == m_Pid) {
            m_Pid = -1;
            break;
        }
        QThread::msleep(20);
    }
    ADD_FAILURE() << "test HTTP server did not come up: " << kScript;
    stop();
}

TestHttpServer::~TestHttpServer()
{
    stop();
}

void TestHttpServer::stop()
{
    if (m_Pid > 0) {
        ::kill(m_Pid, SIGKILL);
        ::waitpid(m_Pid, nullptr, 0);
    }
    m_Pid = -1;
    m_Port = 0;
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2/").arg(m_Tls ? "https" : "http").arg(m_Port);
}

QUrl TestHttpServer::url(const QString& pathAndQuery) const
{
    return QUrl(baseUrl() + pathAndQuery);
}

QByteArray TestHttpServer::control(const QString& what) const
{
    return m_Port ? httpGet(m_Port, "/_control/" + what.toUtf8()) : QByteArray();
}

TestHttpServer::Stats TestHttpServer::stats() const
{
    Stats s;
    const QJsonObject o = QJsonDocument::fromJson(control("stats")).object();
    if (!o.isEmpty()) {
        s.active = o.value("active").toInt();
        s.peak = o.value("peak").toInt();
        s.total = o.value("total").toInt();
    }
    return s;
}

void TestHttpServer::reset() const
{
    control("reset");
}

void HttpServerTest::SetUp()
{
    makeDir("www");
    server = std::make_unique<TestHttpServer>(path("www"));
    ASSERT_TRUE(server->isRunning());
}

void HttpServerTest::TearDown()
{
    server.reset();
}

QString HttpServerTest::serveFile(const QString& relative, const QByteArray& content)
{
    return writeFile("www/" + relative, content);
}
