#include "configuration.h"
#include "downloadfiletaskspecification.h"
#include "httpserverfixture.h"
#include "qtwait.h"
#include "rsacrypto.h"
#include "signingtools.h"
#include "taskrun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const int kVersion = 815;

class DownloadListTest : public HttpServerTest {
protected:
    void SetUp() override
    {
        HttpServerTest::SetUp();
        initCrypto();
        configuration.tempDir = makeDir("session");
        configuration.version = kVersion;
        configuration.streams = 6;
        g_downloadBaseUrl = server->baseUrl();
    }

    // Serves `content` as section/key and lists it with its digest and size.
    void add(const QString& key, const QByteArray& content, const QString& section = "files")
    {
        serveFile(QStringLiteral("%1/%2/%3").arg(kVersion).arg(section, key), content);
        DownloadEntry e;
        e.section = section;
        e.key = key;
        e.sha512 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
        e.size = quint64(content.size());
        downloads << e;
    }

    std::unique_ptr<DownloadFileListTaskSpecification> makeList()
    {
        auto list = std::make_unique<DownloadFileListTaskSpecification>(&downloads, &manager, &configuration,
                                                                        nullptr, 0.4);
        QObject::connect(list.get(), &TaskSpecification::message, [this](const QString& t) { messages << t; });
        return list;
    }

    QString session(const QString& key) const { return configuration.tempDir + "/" + key; }

    QNetworkAccessManager manager;
    Configuration configuration;
    QList<DownloadEntry> downloads;
    QStringList messages;
};

TEST_F(DownloadListTest, EmptyListFinishesAtOnce)
{
    auto list = makeList();
    list->execute();
    EXPECT_EQ(list->state, TaskSpecification::FINISHED);
    EXPECT_EQ(messages, QStringList{"No downloads needed"});
    EXPECT_TRUE(QDir(configuration.tempDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST_F(DownloadListTest, FilesLandInTheirFoldersAndProgressReachesTheWeight)
{
    add("a.dll", QByteArray(100, 'a'));
    add("plugins/x.so", QByteArray(5000, 'x'));
    add("plugins/y.so", QByteArray(), "other");
    add("plugins/sub/z.so", QByteArray(50, 'z'));
    auto list = makeList();
    ASSERT_TRUE(runUntilEnded(*list));
    EXPECT_EQ(list->state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(list->progress, 0.4);
    for (const DownloadEntry& e : qAsConst(downloads))
        EXPECT_EQ(QCryptographicHash::hash(readFile(session(e.key)), QCryptographicHash::Sha512).toHex(), e.sha512);
    EXPECT_EQ(messages.first(), "Downloading files");
    EXPECT_TRUE(messages.contains("Downloading other/plugins/y.so finished"));

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = true;
    list->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(total, 5150u);
    EXPECT_EQ(done, 5150u) << "the empty file's download reports no total and does not count";
    EXPECT_FALSE(downloading);
}

TEST_F(DownloadListTest, NeverMoreThanSixDownloadsAtOnce)
{
    g_downloadBaseUrl = server->baseUrl() + "_do:delay=500/";
    for (int i = 0; i < 14; ++i)
        add(QStringLiteral("f%1.bin").arg(i), QByteArray(1000 + i, char('a' + i)));

    for (int streams : {10, 6, 1}) {
        SCOPED_TRACE(streams);
        server->reset();
        configuration.streams = streams;
        const int limit = std::min(streams, 6);
        auto list = makeList();
        EXPECT_EQ(list->parallelLimit(), limit);
        // Only a few files for the slow sequential case.
        if (streams == 1)
            downloads = downloads.mid(0, 3);
        ASSERT_TRUE(runUntilEnded(*list));
        EXPECT_EQ(list->state, TaskSpecification::FINISHED);
        const TestHttpServer::Stats stats = server->stats();
        EXPECT_EQ(stats.total, downloads.size());
        EXPECT_EQ(stats.peak, limit);
    }
}

// A file that is not what its line says fails the list and does not stay: without a size the
// line lets the server send up to 4 GiB - 1 bytes, the bound of the unpack, and no more.
TEST_F(DownloadListTest, FilesThatAreNotWhatTheirLineSaysFailTheListAndDoNotStay)
{
    const QString refused = "files/lib/bad.so is 4294967296 bytes, larger than 4294967295 bytes";
    const struct {
        const char* name;
        quint64 size;
        // Server parameters for the file's requests.
        const char* misbehaviour;
        // Expected among the messages; the second is not expected.
        QString said;
        QString notSaid;
    } cases[] = {
        {"tampered", 8, "", "Signature check failed for " + session("lib/bad.so"), ""},
        {"tampered, no size", 0, "", "Signature check failed for " + session("lib/bad.so"), ""},
        {"announced beyond the bound, no size", 0, "length=4294967296", refused, ""},
        {"announced at the bound, no size", 0, "length=4294967295", "Unable to download files/lib/bad.so",
         "larger than"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        downloads.clear();
        messages.clear();
        QFile::remove(session("good.bin"));
        g_downloadBaseUrl = server->baseUrl() + "_do:only=bad.so&" + c.misbehaviour + "/";
        add("good.bin", "good");
        add("lib/bad.so", "expected");
        downloads.last().size = c.size;
        serveFile(QStringLiteral("%1/files/lib/bad.so").arg(kVersion), "tampered");
        configuration.streams = 1;
        auto list = makeList();
        QSignalSpy canceled(list.get(), &TaskSpecification::canceled);
        ASSERT_TRUE(runUntilEnded(*list));
        EXPECT_EQ(list->state, TaskSpecification::FAILED);
        EXPECT_EQ(canceled.count(), 1);
        EXPECT_TRUE(messages.contains(c.said)) << messages.join('\n').toStdString();
        if (!c.notSaid.isEmpty()) {
            EXPECT_FALSE(messages.join('\n').contains(c.notSaid)) << messages.join('\n').toStdString();
        }
        EXPECT_EQ(readFile(session("good.bin")), "good") << "a good file stays";
        EXPECT_FALSE(QFileInfo::exists(session("lib/bad.so")));
    }
}

TEST_F(DownloadListTest, AFileThatCannotBeFetchedFailsTheList)
{
    add("a.bin", "first");
    DownloadEntry missing;
    missing.section = "files";
    missing.key = "missing.bin";
    missing.sha512 = QString(128, '0');
    missing.size = 10;
    downloads << missing;
    configuration.streams = 1;
    auto list = makeList();
    ASSERT_TRUE(runUntilEnded(*list));
    EXPECT_EQ(list->state, TaskSpecification::FAILED);
    EXPECT_EQ(messages.count("files/missing.bin returned 404"), 5);
    EXPECT_TRUE(messages.contains("Unable to download files/missing.bin"));
    EXPECT_EQ(readFile(session("a.bin")), "first") << "finished files stay";
    EXPECT_FALSE(QFileInfo::exists(session("missing.bin")));
}

TEST_F(DownloadListTest, UnsafeFileNamesAreRefusedBeforeAnythingIsFetched)
{
    const QString outside = makeDir("outside");
    ASSERT_EQ(::symlink(outside.toLocal8Bit().constData(), session("link").toLocal8Bit().constData()), 0);
    ASSERT_EQ(::symlink((outside + "/target").toLocal8Bit().constData(),
                        session("filelink.bin").toLocal8Bit().constData()),
              0);
    const QStringList bad = {"/etc/passwd", "../escape.bin", "a/../../escape.bin", "", "dir/", "link/x.bin",
                             "link/sub/x.bin", "filelink.bin"};
    for (const QString& key : bad) {
        SCOPED_TRACE(key.toStdString());
        downloads.clear();
        messages.clear();
        add("fine.bin", "fine");
        DownloadEntry e;
        e.section = "files";
        e.key = key;
        e.sha512 = QString(128, '0');
        downloads << e;
        auto list = makeList();
        list->execute();
        EXPECT_EQ(list->state, TaskSpecification::FAILED);
        EXPECT_EQ(messages, QStringList{"Refusing file name " + key + ": it leads outside the temporary directory"});
        drainEvents();
    }
    EXPECT_EQ(server->stats().total, 0);
    EXPECT_TRUE(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(path("escape.bin")));
}

TEST_F(DownloadListTest, FolderThatCannotBeMadeFailsTheList)
{
    add("a.bin", "a");
    add("blocked/b.bin", "b");
    writeFile("session/blocked", "a file where the folder should be");
    auto list = makeList();
    list->execute();
    EXPECT_EQ(list->state, TaskSpecification::FAILED);
    EXPECT_EQ(messages, QStringList{"Could not create dir " + QDir(configuration.tempDir).canonicalPath() + "/blocked"});
    drainEvents();
    EXPECT_EQ(server->stats().total, 0);
}

TEST_F(DownloadListTest, CancelEndsOneDownloadCanceledAndAbortsParallelOnes)
{
    g_downloadBaseUrl = server->baseUrl() + "_do:hang=1/";
    add("a.bin", "a");
    add("b.bin", "b");
    for (int streams : {1, 2}) {
        SCOPED_TRACE(streams);
        configuration.streams = streams;
        messages.clear();
        server->reset();
        auto list = makeList();
        list->execute();
        ASSERT_TRUE(waitUntil([this, streams] { return server->stats().total == streams; }));
        list->cancel();
        ASSERT_TRUE(waitUntil([&list] { return list->hasEnded(); }));
        if (streams == 1) {
            EXPECT_EQ(list->state, TaskSpecification::CANCELED);
        } else {
            EXPECT_EQ(list->state, TaskSpecification::FAILED) << "the sibling was aborted, not canceled";
            EXPECT_TRUE(messages.contains("Abort downloading files/b.bin"));
        }
        EXPECT_FALSE(QFileInfo::exists(session("a.bin")));
        EXPECT_FALSE(QFileInfo::exists(session("b.bin")));
        EXPECT_TRUE(waitUntil([this] { return server->stats().active == 0; })) << "no request left open";
    }
}

} // namespace
