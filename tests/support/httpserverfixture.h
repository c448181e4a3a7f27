// Runs tests/support/httpserver.py on 127.0.0.1 for a test: files from a directory, plus
// misbehaviour chosen by query parameters (see the script's header for the list).
#pragma once

#include "tempdir.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <memory>
#include <sys/types.h>

class TestHttpServer {
public:
    struct Stats {
        int active = -1;
        int peak = -1;
        int total = -1;
    };

    // Starts the server on a free port and waits until it answers; check isRunning().
    // The server exits by itself after `lifetimeSeconds` even if nobody stops it.
    // `extraArgs` go to the script as they are, e.g. {"--tls-cert", c, "--tls-key", k} or
    // {"--port", "443"}.
    explicit TestHttpServer(const QString& root, int lifetimeSeconds = 120,
                            const QString& logFile = QString(),
                            const QStringList& extraArgs = QStringList());
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    bool isRunning() const { return m_Port != 0; }
    quint16 port() const { return m_Port; }
    // "http://127.0.0.1:<port>/", or "https://..." when started with --tls-cert
    QString baseUrl() const;
    // baseUrl() + pathAndQuery, e.g. url("a.bin?fail=2")
    QUrl url(const QString& pathAndQuery) const;

    // Requests being served now, the most at once, and all since the last reset.
    Stats stats() const;
    void reset() const;
    // Raw body of GET /_control/<what>, empty when the server did not answer.
    QByteArray control(const QString& what) const;
    // Kills the server process by its id and reaps it.
    void stop();

private:
    QTemporaryDir m_StateDir;
    pid_t m_Pid = -1;
    quint16 m_Port = 0;
    bool m_Tls = false;
};

// A temporary directory whose "www" folder is served by a TestHttpServer for the test's duration.
class HttpServerTest : public TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Writes a file below www/ and returns its absolute path.
    QString serveFile(const QString& relative, const QByteArray& content);

    std::unique_ptr<TestHttpServer> server;
};
