#include "configuration.h"

#include "httpserverfixture.h"
#include "privatecopy.h"
#include "protoencode.h"
#include "querythreads.h"
#include "qtwait.h"
#include "tempdir.h"
#include "versionsinfo.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Runs the test body in a copy of the binary under "bin" with the given command line, the
// user's configuration directory "config" and home "home" inside the test's directory.
class CommandLineTest : public TempDirTest {
protected:
    void SetUp() override
    {
        makeDir("config");
        makeDir("home");
    }
    void TearDown() override { settleQueryThreads(); }

    bool inCopy(const QStringList& arguments, bool withConfigDir = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("VL3_CONFIG_DIR");
        if (withConfigDir)
            env.insert("VL3_CONFIG_DIR", path("config"));
        env.insert("HOME", path("home"));
        return runInPrivateCopy(path("bin"), arguments, env);
    }

    static QString binDir() { return QCoreApplication::applicationDirPath(); }

    // Keeps version queries off the network: they fail at once on a missing file.
    static void quietQueries() { g_versionServerUrl = "file:///nonexistent/vl3-client-2"; }

    // Without a version the configuration is not ready and asks the version server for one.
    static void expectVersionQuery(Configuration& cfg)
    {
        EXPECT_EQ(cfg.version, 0);
        EXPECT_FALSE(cfg.isReady);
        UpdateChecker* checker = cfg.findChild<UpdateChecker*>();
        ASSERT_NE(checker, nullptr) << "the version must be queried";
        EXPECT_TRUE(awaitQuery(checker));
    }
};

QString fileMode(const QString& path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return "missing";
    return QString::number(st.st_mode & 07777, 8);
}

} // namespace

TEST_F(CommandLineTest, ClientUpdateWithDisplayVersion)
{
    if (!inCopy({"--clientupdate", "client_linux_amd64", "3100", "3.1.0", "ignored"}))
        return;
    Configuration cfg;
    QSignalSpy fatal(&cfg, &Configuration::fatalError);
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.isClientUpdate, 1);
    EXPECT_EQ(cfg.clientType, "client_linux_amd64");
    EXPECT_EQ(cfg.version, 3100);
    EXPECT_EQ(cfg.versionString, "3.1.0");
    EXPECT_TRUE(cfg.isReady);
    EXPECT_EQ(cfg.channel, 0);
    EXPECT_EQ(g_downloadBaseUrl, Configuration::defaultDownloadBaseUrl());
    EXPECT_EQ(cfg.findChild<UpdateChecker*>(), nullptr) << "no query when the version is given";
    EXPECT_TRUE(fatal.isEmpty());
}

TEST_F(CommandLineTest, HashMeansNoDisplayVersion)
{
    if (!inCopy({"--nouser", "update_linux_amd64", "3100", "#"}))
        return;
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.isClientUpdate, 0);
    EXPECT_EQ(cfg.clientType, "update_linux_amd64");
    EXPECT_EQ(cfg.version, 3100);
    EXPECT_TRUE(cfg.versionString.isEmpty());
    EXPECT_TRUE(cfg.isReady);
}

TEST_F(CommandLineTest, ClientUpdateWithOneArgumentIgnoresIt)
{
    if (!inCopy({"--clientupdate", "client_foo"}))
        return;
    quietQueries();
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.isClientUpdate, 1);
    EXPECT_EQ(cfg.clientType, "client_linux_amd64");
    expectVersionQuery(cfg);
}

TEST_F(CommandLineTest, TypeAndVersionAlone)
{
    if (!inCopy({"client_linux_amd64", "3100"}))
        return;
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.isClientUpdate, 0);
    EXPECT_EQ(cfg.clientType, "client_linux_amd64");
    EXPECT_EQ(cfg.version, 3100);
    EXPECT_TRUE(cfg.isReady);
}

TEST_F(CommandLineTest, OtherArgumentListsAreIgnored)
{
    // Neither a leading --clientupdate or --nouser nor exactly a type and a version: the type
    // is the default one and the version is queried.
    const QList<QStringList> lists = {
        {"client_linux_amd64"},
        {"client_linux_amd64", "3100", "3.1.0"},
        {"client_linux_amd64", "3100", "3.1.0", "extra"},
        {"--update", "client_linux_amd64", "3100"},
    };
    for (const QStringList& arguments : lists) {
        if (!inCopy(arguments))
            continue;
        SCOPED_TRACE(QCoreApplication::arguments().join(' ').toStdString());
        quietQueries();
        Configuration cfg;
        QSignalSpy fatal(&cfg, &Configuration::fatalError);
        ASSERT_TRUE(cfg.parseCommandLineOptions());
        EXPECT_TRUE(fatal.isEmpty());
        EXPECT_EQ(cfg.isClientUpdate, 0);
        EXPECT_EQ(cfg.clientType, "update_linux_amd64");
        expectVersionQuery(cfg);
        return;
    }
}

TEST_F(CommandLineTest, BadVersionNumberFailsTheParse)
{
    if (!inCopy({"client_linux_amd64", "abc"}))
        return;
    Configuration cfg;
    QSignalSpy fatal(&cfg, &Configuration::fatalError);
    EXPECT_FALSE(cfg.parseCommandLineOptions());
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal.first().first().toString(), "Invalid version nr (abc)");
    EXPECT_FALSE(cfg.isReady);
}

TEST_F(CommandLineTest, MissingClientArgumentsAreFatal)
{
    Configuration cfg;
    QSignalSpy fatal(&cfg, &Configuration::fatalError);
    EXPECT_FALSE(cfg.parseClientArguments({"prog"}, 1));
    EXPECT_FALSE(cfg.parseClientArguments({"prog", "client_linux_amd64"}, 1));
    ASSERT_EQ(fatal.count(), 2);
    EXPECT_EQ(fatal.at(0).first().toString(), "No client type specified");
    EXPECT_EQ(fatal.at(1).first().toString(), "No client version specified");
}

TEST_F(CommandLineTest, NoArgumentsQueriesTheStableVersion)
{
    // The query goes to a server started inside the copy.
    if (!inCopy({}))
        return;
    makeDir("www");
    TestHttpServer server(path("www"), 60);
    ASSERT_TRUE(server.isRunning());
    const std::string reply = protocEncode(VL_UPDATEMESSAGE_PROTO, "voxlane.update.Versions",
                                           R"(licenseAgreementId: 1
        channels { name: "stable" version_number: 3200 version_string: "3.2.0" }
        channels { name: "beta" version_number: 3300 version_string: "3.3.0" })");
    writeFile("www/vl3-client-2", QByteArray(reply.data(), int(reply.size())));
    g_versionServerUrl = server.url("vl3-client-2").toString().toStdString();
    registerUpdateVersionsMetaType();

    Configuration cfg;
    QSignalSpy ready(&cfg, &Configuration::ready);
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.channel, 0);
    EXPECT_EQ(cfg.clientType, "update_linux_amd64");
    EXPECT_EQ(g_downloadBaseUrl, Configuration::defaultDownloadBaseUrl());
    // The release folders lie under this path on whatever host the build names.
    const QUrl base(g_downloadBaseUrl);
    EXPECT_EQ(base.scheme(), "http");
    EXPECT_EQ(base.path(), "/updater-images/client/");
    EXPECT_FALSE(cfg.isReady) << "ready only once the reply is in";
    ASSERT_TRUE(ready.wait(10000));
    EXPECT_TRUE(cfg.isReady);
    EXPECT_EQ(cfg.version, 3200);
    EXPECT_EQ(cfg.versionString, "3.2.0");
    EXPECT_EQ(ready.count(), 1);
}

TEST_F(CommandLineTest, AlphaChannelWinsOverTheGivenVersion)
{
    // VL3_CONFIG_DIR is given without a trailing separator.
    writeFile("config/update.ini", "[Channel]\nalpha=http://files.example/alpha\nalphaRevno=42\n");
    if (!inCopy({"client_linux_amd64", "3100"}))
        return;
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.channel, 2);
    EXPECT_EQ(cfg.version, 42);
    EXPECT_EQ(cfg.clientType, "client_linux_amd64");
    EXPECT_EQ(g_downloadBaseUrl, "http://files.example/alpha/");
    EXPECT_TRUE(cfg.isReady);
}

TEST_F(CommandLineTest, AlphaWithoutRevisionQueriesTheAlphaVersion)
{
    writeFile("config/update.ini", "[Channel]\nalpha=http://files.example/alpha/\n");
    if (!inCopy({"--nouser"}))
        return;
    quietQueries();
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.channel, 2);
    EXPECT_EQ(g_downloadBaseUrl, "http://files.example/alpha/");
    expectVersionQuery(cfg);

    UpdateVersions versions;
    versions.insert("alpha", qMakePair(QString("4100"), QString("4.1 alpha")));
    QSignalSpy ready(&cfg, &Configuration::ready);
    cfg.on_updateAvailable(versions);
    EXPECT_EQ(ready.count(), 1);
    EXPECT_EQ(cfg.version, 4100);
    EXPECT_EQ(cfg.versionString, "4.1 alpha");
}

TEST_F(CommandLineTest, CapitalBetaSelectsBeta)
{
    writeFile("config/update.ini", "[Channel]\nbeta=false\nBeta=true\n");
    if (!inCopy({"client_linux_amd64", "3100"}))
        return;
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.channel, 1);
    EXPECT_EQ(g_downloadBaseUrl, Configuration::defaultDownloadBaseUrl());
}

TEST_F(CommandLineTest, FallsBackToTheUpdatersOwnIni)
{
    writeFile("bin/update.ini", "[Channel]\nbeta=true\n");
    if (!inCopy({"client_linux_amd64", "3100"}))
        return;
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.channel, 1);
}

TEST_F(CommandLineTest, UserChannelFileWinsOverTheUpdatersOwn)
{
    writeFile("bin/update.ini", "[Channel]\nbeta=true\n");
    writeFile("config/update.ini", "[Channel]\nbeta=false\n");
    if (!inCopy({"client_linux_amd64", "3100"}))
        return;
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.channel, 0);
}

TEST_F(CommandLineTest, HomeConfigDirectoryWhenNoneIsSet)
{
    writeFile("home/.vl3client/update.ini", "[Channel]\nBeta=true\n");
    if (!inCopy({"client_linux_amd64", "3100"}, false))
        return;
    EXPECT_EQ(Configuration::getConfigDir(), QDir::cleanPath(binDir() + "/../home") + "/.vl3client/");
    Configuration cfg;
    ASSERT_TRUE(cfg.parseCommandLineOptions());
    EXPECT_EQ(cfg.channel, 1);
}

TEST_F(CommandLineTest, UpdateGroupGivesProxyAndStreams)
{
    writeFile("bin/update.ini", "[update]\nproxy=http://proxy.example:8080\nstreams=3\n");
    if (!inCopy({}))
        return;
    Configuration cfg;
    cfg.readUpdateIniSettings();
    EXPECT_EQ(cfg.proxy, "http://proxy.example:8080");
    EXPECT_EQ(cfg.streams, 3);

    const char* const fallbacks[] = {"[update]\nstreams=0\n", "[update]\nstreams=-4\n", "[update]\nstreams=many\n",
                                     "[Channel]\nbeta=true\n"};
    for (const char* content : fallbacks) {
        QFile ini(binDir() + "/update.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(content);
        ini.close();
        Configuration other;
        other.readUpdateIniSettings();
        EXPECT_EQ(other.streams, 6) << content;
        EXPECT_TRUE(other.proxy.isEmpty()) << content;
    }
    QFile::remove(binDir() + "/update.ini");
    Configuration missing;
    missing.readUpdateIniSettings();
    EXPECT_EQ(missing.streams, 6);
}

// The version reply as the configuration takes it.
TEST(ConfigurationReply, PicksTheConfiguredChannel)
{
    UpdateVersions versions;
    versions.insert("stable", qMakePair(QString("10"), QString("3.5.0")));
    versions.insert("beta", qMakePair(QString("11"), QString("3.5.1")));
    versions.insert("alpha", qMakePair(QString("4294967295"), QString("broken")));

    Configuration beta;
    beta.channel = 1;
    QSignalSpy ready(&beta, &Configuration::ready);
    beta.on_updateAvailable(versions);
    EXPECT_EQ(ready.count(), 1);
    EXPECT_TRUE(beta.isReady);
    EXPECT_EQ(beta.version, 11);
    EXPECT_EQ(beta.versionString, "3.5.1");

    Configuration alpha;
    alpha.channel = 2;
    QSignalSpy alphaFatal(&alpha, &Configuration::fatalError);
    QSignalSpy alphaReady(&alpha, &Configuration::ready);
    alpha.on_updateAvailable(versions);
    ASSERT_EQ(alphaFatal.count(), 1);
    EXPECT_EQ(alphaFatal.first().first().toString(), "Update server returned invalid version nr (4294967295)");
    EXPECT_TRUE(alphaReady.isEmpty());
    EXPECT_FALSE(alpha.isReady);

    versions.remove("stable");
    Configuration stable;
    QSignalSpy stableFatal(&stable, &Configuration::fatalError);
    stable.on_updateAvailable(versions);
    ASSERT_EQ(stableFatal.count(), 1);
    EXPECT_EQ(stableFatal.first().first().toString(), "Update server returned no version");
    EXPECT_FALSE(stable.isReady);
}

TEST(ConfigurationReply, FailedQueryShowsTheErrorBox)
{
    QString shown;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->windowTitle() + "|" + box->text();
            box->done(QMessageBox::Abort);
        }
    });
    closer.start(20);

    Configuration cfg;
    QSignalSpy ready(&cfg, &Configuration::ready);
    QSignalSpy fatal(&cfg, &Configuration::fatalError);
    cfg.on_updateAvailable(UpdateVersions());
    EXPECT_EQ(shown, "Error|Failed to query latest client\nversion from update server.");
    EXPECT_TRUE(ready.isEmpty());
    EXPECT_TRUE(fatal.isEmpty());
    EXPECT_FALSE(cfg.isReady);
}

// Temporary directories live in a shared folder, so only private ones are created or reused.
class TempDirectoryTest : public TempDirTest {
protected:
    void SetUp() override
    {
        m_OldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(path()));
    }
    void TearDown() override { qputenv("TMPDIR", m_OldTmp); }

    QByteArray m_OldTmp;
};

TEST_F(TempDirectoryTest, CreatesTheFirstFreeNameForThisUserOnly)
{
    for (int n = 0; n < 4; ++n)
        makeDir(QString("voxlane_temp_%1").arg(n));
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(path("voxlane_temp_4")).constData()), 0);

    Configuration cfg;
    ASSERT_TRUE(cfg.createTempDir());
    EXPECT_EQ(cfg.tempDir, path("voxlane_temp_5"));
    EXPECT_EQ(fileMode(cfg.tempDir), "700");
    EXPECT_TRUE(Configuration::isPrivateDirectory(cfg.tempDir));
    EXPECT_EQ(fileMode(path("voxlane_temp_4")), "777") << "the dangling link stays a link";
}

TEST_F(TempDirectoryTest, NoFolderToCreateItInIsFatal)
{
    // A file where the folder should be: nothing can be made below it.
    qputenv("TMPDIR", QFile::encodeName(writeFile("notafolder", "x")));
    Configuration cfg;
    QSignalSpy fatal(&cfg, &Configuration::fatalError);
    EXPECT_FALSE(cfg.initalizeStart(QString(), QString()));
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal.first().first().toString(), "Unable to create temp directory.");
    EXPECT_TRUE(cfg.tempDir.isEmpty());
}

TEST_F(TempDirectoryTest, ReusesOnlyItsOwnPrivateSessionDirectories)
{
    const QString own = makeDir("voxlane_temp_9");
    ASSERT_EQ(::chmod(QFile::encodeName(own).constData(), 0700), 0);
    Configuration reuse;
    ASSERT_TRUE(reuse.initalizeStart(own, path("client")));
    EXPECT_EQ(reuse.tempDir, own);
    EXPECT_EQ(reuse.vl3dir, path("client"));

    auto privateDir = [this](const QString& name, mode_t mode = 0700) {
        const QString dir = makeDir(name);
        EXPECT_EQ(::chmod(QFile::encodeName(dir).constData(), mode), 0);
        return dir;
    };
    const QString link = path("voxlane_temp_10");
    ASSERT_EQ(::symlink(QFile::encodeName(own).constData(), QFile::encodeName(link).constData()), 0);
    const QStringList unsafe{privateDir("voxlane_temp_11", 0777),
                             privateDir("voxlane_temp_12", 0770),
                             link,
                             link + "/",
                             writeFile("voxlane_temp_13", "x"),
                             privateDir("session"),
                             privateDir("nested/voxlane_temp_14")};
    int expected = 0;
    for (const QString& unsafeDir : unsafe) {
        Configuration cfg;
        ASSERT_TRUE(cfg.initalizeStart(unsafeDir, QString())) << unsafeDir.toStdString();
        EXPECT_EQ(cfg.tempDir, path(QString("voxlane_temp_%1").arg(expected++))) << unsafeDir.toStdString();
        EXPECT_EQ(cfg.vl3dir, QCoreApplication::applicationDirPath());
    }
}
