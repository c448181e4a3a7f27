// Whole updates with a post-install command: the updater runs as a process through both stages
// against a release on the test server, and the command's script arrives by a real download,
// exactly as a release ships it.
#include "httpserverfixture.h"
#include "qtwait.h"
#include "releasetools.h"
#include "tempdir.h"
#include "updaterruns.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>
#include <iostream>
#include <memory>

namespace {

const int kVersion = 4200;
const QByteArray kOldClient = "#!/bin/sh\necho 'client 1.0'\n";
const QByteArray kNewClient = "#!/bin/sh\necho 'client 2.0'\n";
const QByteArray kReadme = "Voxlane 2.0: shipped unpacked under a gzip name\n";

// Notes its arguments, what it finds in the client folder and whether the client already runs;
// fails while the client folder holds "hold".
const QByteArray kPostInstall = "#!/bin/sh\n"
                                "dir=\"${1#--dir=}\"\n"
                                "if [ -e \"$dir/hold\" ]; then echo \"held\" >> \"$dir/post.log\"; exit 1; fi\n"
                                "state=waiting; [ -e \"$dir/client_started\" ] && state=started\n"
                                "echo \"ran $* | $(tail -n1 \"$dir/vl3client\") | $state\" >> \"$dir/post.log\"\n";

// The installed client's launch script, which the second stage starts at its end.
const QByteArray kRunScript = "#!/bin/sh\necho started >> \"$(dirname \"$0\")/client_started\"\n";

class InstallCommandUpdateTest : public TempDirTest {
protected:
    void SetUp() override
    {
        makeDir("www");
        // Long enough for both stages of two updates under the sanitizers.
        m_Server = std::make_unique<TestHttpServer>(path("www"), 600);
        ASSERT_TRUE(m_Server->isRunning());

        m_Client = makeDir("client");
        // The installation as its installer left it.
        const QString updater = m_Client + "/update";
        ASSERT_TRUE(QFile::copy(VL_UPDATE_PROGRAM, updater)) << VL_UPDATE_PROGRAM;
        const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        ASSERT_TRUE(QFile::setPermissions(updater, executable));
        ASSERT_TRUE(QFile::setPermissions(writeFile("client/vl3client", kOldClient), executable));
        ASSERT_TRUE(QFile::setPermissions(writeFile("client/vl3client_runscript.sh", kRunScript), executable));
        writeFile("client/readme.txt", "Voxlane 1.0\n");

        // The alpha channel names the file server and the version: no version server is asked.
        writeFile("config/update.ini", QString("[Channel]\nalpha=%1files\nalphaRevno=%2\n")
                                           .arg(m_Server->baseUrl())
                                           .arg(kVersion)
                                           .toUtf8());
        m_Env = QProcessEnvironment::systemEnvironment();
        m_Env.insert("TMPDIR", makeDir("tmp"));
        m_Env.insert("HOME", makeDir("home"));
        m_Env.insert("VL3_CONFIG_DIR", path("config"));
        m_Env.insert("QT_QPA_PLATFORM", "offscreen");
        // Both stages write their logs, shown when a test fails.
        writeFile("tmp/vl3_update_log");
        // What Qt's platform plugins and the libraries below them keep until exit is no leak of ours.
        m_Env.insert("LSAN_OPTIONS", "suppressions=" + writeFile("lsan.supp", kPlatformLeakSuppressions));
        publishRelease();
    }

    void TearDown() override
    {
        // A second stage that failed keeps its window open until someone closes it.
        killProcessesRunningFrom(path("tmp") + "/");
        if (HasFailure()) {
            std::cerr << "==== output\n"
                      << readFile(path("output.txt")).toStdString() << updaterLogs(path("tmp")).toStdString();
        }
    }

    // The second stages this test started: the first stage starts them detached, from the
    // session directory inside the test's own temporary folder.
    QList<pid_t> secondStages() const { return processesRunningFrom(path("tmp") + "/"); }

    // The release as the maker publishes it: the updater's product ini names the installed
    // updater, which is current; the client's replaces the client program, ships a plain
    // file under a gzip name and a post-install script, and runs the script with two arguments.
    void publishRelease()
    {
        const QString updater = m_Client + "/update";
        publishIni("update_linux_amd64.ini", "[updater]\nupdate=" + digestAndSize(updater) + "\n");

        const QString staging = makeDir("staging");
        const QString newClient = writeFile("staging/vl3client", kNewClient);
        ASSERT_EQ(runCommand(QString("gzip -n -c '%1' > '%2'").arg(newClient, serveFile("client/vl3client.gz", ""))), 0)
            << "gzip is needed";
        const QString readme = serveFile("client/readme.txt.gz", kReadme);
        const QString script = serveFile("client/post.sh", kPostInstall);
        publishIni("vl3_client_linux_amd64.ini",
                   "[client]\n"
                   "vl3client.gz=" + digestAndSize(path(filesPath("client/vl3client.gz"))) + "::" +
                       digestAndSize(newClient) + "::vl3client\n"
                   "readme.txt.gz=" + digestAndSize(readme) + "::" + digestAndSize(readme) + "::readme.txt\n"
                   "post.sh=" + digestAndSize(script) + "\n"
                   "[postinstall]\n"
                   "post.sh=linux64,dir=__VL3_DIR__::flag\n");
    }

    static QString filesPath(const QString& relative) { return QString("www/files/%1/%2").arg(kVersion).arg(relative); }

    QString serveFile(const QString& relative, const QByteArray& content)
    {
        return writeFile(filesPath(relative), content);
    }

    void publishIni(const QString& name, const QString& text)
    {
        ASSERT_TRUE(publishProductIni(writeFile("staging/" + name, text.toUtf8()), path(QString("www/files/%1").arg(kVersion))));
    }

    // Starts the installed updater as the client does and waits for the first stage to hand over.
    // The output goes to a file, which the detached second stage inherits: a pipe kept open by
    // it would hold up whoever reads the test's own output.
    void startUpdate()
    {
        QProcess stageOne;
        stageOne.setProcessEnvironment(m_Env);
        stageOne.setStandardOutputFile(path("output.txt"), QIODevice::Append);
        stageOne.setStandardErrorFile(path("output.txt"), QIODevice::Append);
        stageOne.start(m_Client + "/update", QStringList());
        ASSERT_TRUE(stageOne.waitForFinished(120000)) << "the first stage did not end";
        EXPECT_EQ(stageOne.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(stageOne.exitCode(), 0);
    }

    QStringList lines(const QString& file) { return QString::fromUtf8(readFile(file)).split('\n', Qt::SkipEmptyParts); }
    QStringList postLog() { return lines(m_Client + "/post.log"); }

    QStringList sessionDirs() { return QDir(path("tmp")).entryList({"voxlane_temp_*"}, QDir::Dirs | QDir::Hidden); }

    std::unique_ptr<TestHttpServer> m_Server;
    QString m_Client;
    QProcessEnvironment m_Env;
};

} // namespace

TEST_F(InstallCommandUpdateTest, DownloadedScriptRunsOnceAfterTheFilesAndBeforeTheClient)
{
    startUpdate();
    // The file exists from the moment the shell opens it, a moment before its line is written.
    ASSERT_TRUE(waitUntil([&] { return !lines(m_Client + "/client_started").isEmpty(); }, 90000))
        << "the client was never started; post-install log: " << postLog().join(" / ").toStdString();

    EXPECT_EQ(postLog(), QStringList("ran --dir=" + m_Client + " --flag | echo 'client 2.0' | waiting"));
    EXPECT_EQ(lines(m_Client + "/client_started"), QStringList("started"));
    EXPECT_EQ(readFile(m_Client + "/vl3client"), kNewClient);
    EXPECT_EQ(readFile(m_Client + "/readme.txt"), kReadme);
    EXPECT_EQ(readFile(m_Client + "/post.sh"), kPostInstall);
    EXPECT_TRUE(waitUntil([&] { return sessionDirs().isEmpty(); }, 30000)) << sessionDirs().join(' ').toStdString();
}

TEST_F(InstallCommandUpdateTest, LaterStartRunsTheInstalledScriptAndLeavesNoSessionBehind)
{
    // The first attempt replaces the client and then fails in its post-install command; the
    // second stage keeps its window open with the error, until it is closed.
    writeFile("client/hold");
    startUpdate();
    ASSERT_TRUE(waitUntil([&] { return postLog() == QStringList("held"); }, 120000))
        << postLog().join(" / ").toStdString();
    const QList<pid_t> stages = secondStages();
    ASSERT_EQ(stages.size(), 1);
    ASSERT_EQ(::kill(stages.first(), SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return secondStages().isEmpty(); }, 10000));
    EXPECT_EQ(readFile(m_Client + "/vl3client"), kNewClient);
    EXPECT_EQ(readFile(m_Client + "/post.sh"), kPostInstall);
    EXPECT_FALSE(QFile::exists(m_Client + "/client_started"));

    // The next start: the script is installed and current, so nothing is fetched for it.
    QFile::remove(m_Client + "/hold");
    startUpdate();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(m_Client + "/client_started"); }, 90000))
        << "the client was never started; post-install log: " << postLog().join(" / ").toStdString();
    EXPECT_EQ(postLog(), QStringList({"held", "ran --dir=" + m_Client + " --flag | echo 'client 2.0' | waiting"}));
    EXPECT_TRUE(waitUntil([&] { return sessionDirs().isEmpty(); }, 30000)) << sessionDirs().join(' ').toStdString();
}
