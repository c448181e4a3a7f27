#include "configuration.h"
#include "downloadtaskspecification.h"
#include "httpserverfixture.h"
#include "peakmemory.h"
#include "qtwait.h"
#include "taskrun.h"
#include "writefailure.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const int kVersion = 4711;
const qint64 kGenerousMaxSize = 1 << 30;

QByteArray pattern(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 251) & 0xff);
    return data;
}

class DownloadTest : public HttpServerTest {
protected:
    void SetUp() override
    {
        HttpServerTest::SetUp();
        setMisbehaviour(QString());
    }

    // Every request of the test carries these server parameters (e.g. "hang=1").
    void setMisbehaviour(const QString& query)
    {
        g_downloadBaseUrl = server->baseUrl() + (query.isEmpty() ? QString() : "_do:" + query + "/");
    }

    QString serve(const QString& remotePath, const QByteArray& content)
    {
        return serveFile(QString::number(kVersion) + "/" + remotePath, content);
    }

    std::unique_ptr<DownloadTaskSpecification> makeTask(const QString& remotePath, qint64 expectedSize = -1,
                                                        const QString& localName = "local.bin",
                                                        qint64 maxSize = kGenerousMaxSize)
    {
        auto task = std::make_unique<DownloadTaskSpecification>(manager.get(), remotePath, kVersion, path(localName),
                                                                expectedSize, maxSize, nullptr, 0.8);
        QObject::connect(task.get(), &TaskSpecification::message, [this](const QString& t) { messages << t; });
        QObject::connect(task.get(), &TaskSpecification::error, [this](const QString& t) { errors << t; });
        return task;
    }

    static void poll(TaskSpecification& task, int times, bool* downloading = nullptr)
    {
        for (int i = 0; i < times; ++i) {
            quint64 done = 0, total = 0, speed = 0;
            bool dl = false;
            task.getDownloadProgress(&done, &total, &speed, &dl);
            if (downloading)
                *downloading = dl;
        }
    }

    bool waitForRequests(int n) const
    {
        return waitUntil([this, n] { return server->stats().total >= n; }, 10000);
    }

    std::unique_ptr<QNetworkAccessManager> manager = std::make_unique<QNetworkAccessManager>();
    QStringList messages;
    QStringList errors;
};

TEST_F(DownloadTest, WholeBodiesWithAndWithoutLengthAndEmptyBodies)
{
    const QByteArray body = pattern(1 << 20);
    serve("files/a.bin", body);

    // Qt reports the total at most every 100 ms: make the transfer last longer than that.
    setMisbehaviour("drip=20&chunk=65536");
    {
        auto task = makeTask("files/a.bin");
        QList<qreal> steps;
        QObject::connect(task.get(), &TaskSpecification::updateProgress, [&steps](qreal p) { steps << p; });
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_EQ(task->state, TaskSpecification::FINISHED);
        EXPECT_EQ(readFile(path("local.bin")), body);
        EXPECT_EQ(messages, (QStringList{"Downloading files/a.bin", "Downloading files/a.bin finished"}));
        EXPECT_TRUE(errors.isEmpty());
        EXPECT_TRUE(std::any_of(steps.begin(), steps.end(), [](qreal p) { return p > 0 && p < 0.8; }))
            << "the server's length drives the progress";
        EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
        EXPECT_DOUBLE_EQ(task->progress, 0.8);
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadProgress(&done, &total, &speed, &downloading);
        EXPECT_EQ(done, quint64(body.size()));
        EXPECT_EQ(total, quint64(body.size()));
        EXPECT_FALSE(downloading);
    }

    setMisbehaviour("nolength=1");
    {
        auto task = makeTask("files/a.bin", -1, "nolength.bin");
        QList<qreal> steps;
        QObject::connect(task.get(), &TaskSpecification::updateProgress, [&steps](qreal p) { steps << p; });
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_EQ(task->state, TaskSpecification::FINISHED);
        EXPECT_EQ(readFile(path("nolength.bin")), body);
        EXPECT_EQ(steps, QList<qreal>{0.8}) << "no total, so no progress until the end";
    }

    setMisbehaviour("empty=1");
    {
        writeFile("empty.bin", "old content");
        auto task = makeTask("files/a.bin", -1, "empty.bin");
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_EQ(task->state, TaskSpecification::FINISHED);
        EXPECT_TRUE(QFileInfo::exists(path("empty.bin")));
        EXPECT_EQ(QFileInfo(path("empty.bin")).size(), 0);
    }

    setMisbehaviour(QString());
    {
        // A given size is never replaced by the server's; a smaller one just caps the progress.
        auto task = makeTask("files/a.bin", 1000, "small.bin");
        QList<qreal> steps;
        QObject::connect(task.get(), &TaskSpecification::updateProgress, [&steps](qreal p) { steps << p; });
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_EQ(task->state, TaskSpecification::FINISHED);
        EXPECT_EQ(readFile(path("small.bin")), body);
        EXPECT_LE(*std::max_element(steps.begin(), steps.end()), 0.8);
    }
}

TEST_F(DownloadTest, HostileBodiesFailEveryAttemptWithoutFillingTheDiskOrMemory)
{
    const QByteArray body = pattern(65536);
    serve("a.bin", body);
    // A write past the maximum would fail with another text than the one expected below.
    FileSizeLimit disk(65536);
    // A body whose length is announced is refused for it, with the length in the text.
    struct Case {
        const char* misbehaviour;
        qint64 maxSize;
        const char* refusal;
    } cases[] = {// Qt's network thread may read a reply before it hears of the read buffer's bound, and
                 // holds what it read meanwhile: over loopback, some 60 MiB when the program is not
                 // scheduled for 10 ms in between. The round trip of any real link covers the gap.
                 {"endless=1&delay=250", 65536, "a.bin is larger than 65536 bytes"},
                 {"", 65535, "a.bin is 65536 bytes, larger than 65535 bytes"},
                 // Inflated, 1 GiB; as sent, a little more than a listed 1 MiB file may have.
                 {"gzipbomb=1024", 1 << 20, "a.bin was sent with content encoding gzip"},
                 {"encoding=deflate", 65536, "a.bin was sent with content encoding deflate"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.misbehaviour);
        messages.clear();
        setMisbehaviour(c.misbehaviour);
        QElapsedTimer clock;
        clock.start();
        PeakMemoryGrowth peak;
        auto task = makeTask("a.bin", 65536, "local.bin", c.maxSize);
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_LT(peak.mebibytes(), 64);
        EXPECT_EQ(task->state, TaskSpecification::FAILED);
        QStringList expected{"Downloading a.bin"};
        for (int i = 0; i < DownloadTaskSpecification::kMaxAttempts; ++i)
            expected << c.refusal;
        expected << "Unable to download a.bin";
        EXPECT_EQ(messages, expected);
        EXPECT_FALSE(QFileInfo::exists(path("local.bin")));
    }

    // A body of exactly the maximum is whole.
    setMisbehaviour(QString());
    messages.clear();
    auto task = makeTask("a.bin", 65536, "local.bin", 65536);
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FINISHED) << messages.join('\n').toStdString();
    EXPECT_EQ(readFile(path("local.bin")), body);
}

TEST_F(DownloadTest, EveryStatusOtherThan200FailsTheAttempt)
{
    serve("a.bin", "payload");
    serve("target.bin", "payload");
    const QList<QPair<QString, int>> cases = {
        {"status=404", 404}, {"status=500", 500}, {"redirect=%2F" + QString::number(kVersion) + "%2Ftarget.bin", 302},
        {"redirect=%2Fx&redirectstatus=301", 301}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.toStdString());
        messages.clear();
        server->reset();
        setMisbehaviour(c.first);
        auto task = makeTask("a.bin");
        ASSERT_TRUE(runUntilEnded(*task));
        EXPECT_EQ(task->state, TaskSpecification::FAILED);
        QStringList expected{"Downloading a.bin"};
        for (int i = 0; i < 5; ++i)
            expected << QStringLiteral("a.bin returned %1").arg(c.second);
        expected << "Unable to download a.bin";
        EXPECT_EQ(messages, expected);
        EXPECT_FALSE(QFileInfo::exists(path("local.bin")));
        EXPECT_EQ(server->stats().total, 5) << "redirects are not followed";
    }
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(DownloadTest, FailingTwiceThenServingSucceedsWithProgressReset)
{
    serve("a.bin", pattern(5000));
    setMisbehaviour("fail=2");
    auto task = makeTask("a.bin", 5000);
    QList<qreal> steps;
    QObject::connect(task.get(), &TaskSpecification::updateProgress, [&steps](qreal p) { steps << p; });
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FINISHED);
    EXPECT_EQ(messages, (QStringList{"Downloading a.bin", "a.bin returned 500", "a.bin returned 500",
                                     "Downloading a.bin finished"}));
    EXPECT_EQ(readFile(path("local.bin")), pattern(5000));
    EXPECT_EQ(server->stats().total, 3);
    EXPECT_EQ(steps.count(0.0), 2) << "each failed attempt sets the progress back";

    // reset keeps the finished file and restores the full budget of attempts.
    task->reset();
    EXPECT_TRUE(QFileInfo::exists(path("local.bin")));
    server->reset();
    setMisbehaviour("status=404");
    messages.clear();
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FAILED);
    EXPECT_EQ(server->stats().total, 5);
}

TEST_F(DownloadTest, SilentServerTimesOutOnTheSixteenthPoll)
{
    serve("a.bin", "never sent");
    setMisbehaviour("hang=1");
    auto task = makeTask("a.bin");
    task->execute();
    ASSERT_TRUE(waitForRequests(1));
    bool downloading = false;
    poll(*task, 15, &downloading);
    EXPECT_TRUE(downloading);
    EXPECT_EQ(messages, QStringList{"Downloading a.bin"});
    EXPECT_TRUE(QFileInfo::exists(path("local.bin")));

    poll(*task, 1, &downloading);
    EXPECT_EQ(messages.last(), "file a.bin timed out");
    EXPECT_EQ(task->state, TaskSpecification::RUNNING) << "the next attempt starts in the same poll";
    ASSERT_TRUE(waitForRequests(2));
    EXPECT_TRUE(waitUntil([this] { return server->stats().active == 1; })) << "the abandoned request was aborted";

    poll(*task, 4 * 16);
    EXPECT_EQ(task->state, TaskSpecification::FAILED);
    EXPECT_EQ(messages.count("file a.bin timed out"), 5);
    EXPECT_EQ(messages.last(), "Unable to download a.bin");
    EXPECT_FALSE(QFileInfo::exists(path("local.bin")));
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(DownloadTest, StallAfterHalfTheBodyTimesOutAndCancelRemovesThePartialFile)
{
    serve("a.bin", pattern(200000));
    setMisbehaviour("stall=1");
    auto task = makeTask("a.bin", 200000);
    task->execute();
    ASSERT_TRUE(waitUntil([&task] { return task->progress >= 0.4 - 1e-9; }));
    drainEvents();

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    task->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 100000u);
    EXPECT_EQ(total, 200000u);
    EXPECT_EQ(speed, 100000u);
    task->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(speed, 0u);

    poll(*task, 13);
    EXPECT_EQ(messages.size(), 1);
    poll(*task, 1);
    EXPECT_EQ(messages.last(), "file a.bin timed out");
    EXPECT_DOUBLE_EQ(task->progress, 0.0);
    ASSERT_TRUE(waitUntil([&task] { return task->progress > 0; }));

    messages.clear();
    task->cancel();
    EXPECT_EQ(task->state, TaskSpecification::CANCELED);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(path("local.bin")));
}

TEST_F(DownloadTest, DataKeepsASlowTransferAlive)
{
    serve("a.bin", pattern(64 * 512));
    setMisbehaviour("drip=30&chunk=512");
    auto task = makeTask("a.bin", 64 * 512);
    task->execute();
    // Far more than 16 polls, each after some data came in: the time-out measures silence.
    int polls = 0;
    for (; polls < 200 && !task->hasEnded(); ++polls) {
        poll(*task, 1);
        const qreal before = task->progress;
        waitUntil([&task, before] { return task->progress > before || task->hasEnded(); });
    }
    ASSERT_TRUE(waitUntil([&task] { return task->hasEnded(); }));
    EXPECT_GT(polls, 16);
    EXPECT_EQ(task->state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(path("local.bin")), pattern(64 * 512));
    EXPECT_EQ(server->stats().total, 1) << "the transfer finished in its first attempt";
    EXPECT_EQ(messages, (QStringList{"Downloading a.bin", "Downloading a.bin finished"}));
}

TEST_F(DownloadTest, SetUpFailuresEndTheTaskAtOnce)
{
    serve("a.bin", "x");
    makeDir("adir");
    auto task = makeTask("a.bin", -1, "adir");
    task->execute();
    EXPECT_EQ(task->state, TaskSpecification::FAILED);
    EXPECT_EQ(errors, QStringList{"Unable to create file " + path("adir") + " for saving"});
    drainEvents();
    EXPECT_EQ(server->stats().total, 0);

    errors.clear();
    auto orphan = makeTask("a.bin", -1, "orphan.bin");
    manager.reset();
    orphan->execute();
    EXPECT_EQ(orphan->state, TaskSpecification::FAILED);
    EXPECT_EQ(errors, QStringList{"Download failed to initialize"});
}

TEST_F(DownloadTest, ManagerDeletedUnderARunningDownloadIsSurvived)
{
    serve("a.bin", "x");
    setMisbehaviour("hang=1");
    auto task = makeTask("a.bin");
    task->execute();
    ASSERT_TRUE(waitForRequests(1));
    manager.reset(); // deletes the reply with it
    poll(*task, 16);
    EXPECT_EQ(task->state, TaskSpecification::FAILED);
    EXPECT_EQ(messages.last(), "file a.bin timed out");
    EXPECT_EQ(errors, QStringList{"Download failed to initialize"});
}

TEST_F(DownloadTest, AbortStopsTheTransferAndFails)
{
    serve("a.bin", "x");
    setMisbehaviour("hang=1");
    auto task = makeTask("a.bin");
    task->execute();
    ASSERT_TRUE(waitForRequests(1));
    task->abort(nullptr);
    EXPECT_EQ(task->state, TaskSpecification::FAILED);
    EXPECT_EQ(messages.last(), "Abort downloading a.bin");
    EXPECT_FALSE(QFileInfo::exists(path("local.bin")));
    EXPECT_TRUE(waitUntil([this] { return server->stats().active == 0; })) << "the request was aborted";
}

TEST_F(DownloadTest, FailedFlushIsAFailedAttempt)
{
    // The first attempt writes through a link to /dev/full: the data fits QFile's buffer, so only
    // the flush at the end can notice. The retry replaces the link with a real file.
    serve("a.bin", pattern(1000));
    ASSERT_EQ(::symlink("/dev/full", path("full.bin").toLocal8Bit().constData()), 0);
    auto task = makeTask("a.bin", -1, "full.bin");
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FINISHED);
    ASSERT_EQ(messages.size(), 3);
    EXPECT_TRUE(messages.at(1).startsWith("Error writing to file " + path("full.bin"))) << messages.at(1).toStdString();
    EXPECT_FALSE(QFileInfo(path("full.bin")).isSymLink());
    EXPECT_EQ(readFile(path("full.bin")), pattern(1000));
    EXPECT_TRUE(QFileInfo::exists("/dev/full"));
}

// A completed file found unfit later is removed only while its name still holds that very file:
// not a link put there, nor another file.
TEST_F(DownloadTest, CompletedFileIsRemovedOnlyWhileItsNameHoldsIt)
{
    serve("a.bin", "payload");
    const QString own = path("local.bin");
    const QString outside = writeFile("outside.bin", "another's");
    auto task = makeTask("a.bin");
    EXPECT_FALSE(task->removeCompletedFile()) << "nothing completed yet";
    ASSERT_TRUE(runUntilEnded(*task));
    ASSERT_EQ(task->state, TaskSpecification::FINISHED);
    ASSERT_TRUE(QFile::rename(own, path("aside.bin")));

    ASSERT_TRUE(QFile::link(outside, own));
    EXPECT_FALSE(task->removeCompletedFile());
    EXPECT_TRUE(QFileInfo(own).isSymLink());
    EXPECT_EQ(readFile(outside), "another's");
    ASSERT_TRUE(QFile::remove(own));

    ASSERT_TRUE(QFile::copy(path("aside.bin"), own));
    EXPECT_FALSE(task->removeCompletedFile());
    EXPECT_EQ(readFile(own), "payload");
    ASSERT_TRUE(QFile::remove(own));

    ASSERT_TRUE(QFile::rename(path("aside.bin"), own));
    EXPECT_TRUE(task->removeCompletedFile());
    EXPECT_FALSE(QFileInfo::exists(own));
}

TEST_F(DownloadTest, PathSegmentsArePercentEncoded)
{
    const QString remote = QString::fromUtf8("sec tion/dir #1/\xc3\xa4?%41.bin");
    serve(remote, "odd names");
    auto task = makeTask(remote);
    EXPECT_EQ(task->downloadUrl().toString(QUrl::FullyEncoded),
              server->baseUrl() + "4711/sec%20tion/dir%20%231/%C3%A4%3F%2541.bin");
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(path("local.bin")), "odd names");
}

// tinyproxy on 127.0.0.1 with a config written by the test; it ends with the test or after
// two minutes, whichever comes first.
class TinyProxy {
public:
    TinyProxy(const QString& dir, quint16 port)
    {
        const QString config = dir + "/tinyproxy.conf";
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly))
            return;
        f.write(QStringLiteral("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                               "ViaProxyName \"vltestproxy\"\nLogLevel Info\n")
                    .arg(port)
                    .toUtf8());
        if (::geteuid() == 0)
            f.write("User nobody\nGroup nogroup\n");
        f.close();
        QByteArray cfg = QFile::encodeName(config);
        char timeoutArg[] = "120";
        char* argv[] = {const_cast<char*>("timeout"), timeoutArg, const_cast<char*>("tinyproxy"),
                        const_cast<char*>("-d"), const_cast<char*>("-c"), cfg.data(), nullptr};
        const QByteArray log = QFile::encodeName(dir + "/tinyproxy.log");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (::posix_spawnp(&m_Pid, "timeout", &actions, nullptr, argv, environ) != 0)
            m_Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TinyProxy()
    {
        if (m_Pid > 0) {
            // timeout passes the signal on to tinyproxy.
            ::kill(m_Pid, SIGTERM);
            ::waitpid(m_Pid, nullptr, 0);
        }
    }
    bool started() const { return m_Pid > 0; }

private:
    pid_t m_Pid = -1;
};

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

TEST_F(DownloadTest, DownloadsGoThroughTheManagersProxy)
{
    serve("a.bin", pattern(3000));
    const quint16 port = freePort();
    TinyProxy proxy(path(), port);
    ASSERT_TRUE(proxy.started());
    ASSERT_TRUE(waitUntil(
        [port] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(200);
        },
        10000))
        << "tinyproxy did not come up";

    manager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", port));
    auto task = makeTask("a.bin");
    ASSERT_TRUE(runUntilEnded(*task));
    EXPECT_EQ(task->state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(path("local.bin")), pattern(3000));

    const QJsonArray requests = QJsonDocument::fromJson(server->control("requests")).array();
    ASSERT_EQ(requests.size(), 1);
    const QJsonObject headers = requests.at(0).toObject().value("headers").toObject();
    EXPECT_TRUE(headers.value("Via").toString().contains("vltestproxy"))
        << QJsonDocument(headers).toJson().toStdString();
}

} // namespace
