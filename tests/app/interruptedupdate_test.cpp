// A whole update as the user meets it: the installed updater and the second stage it builds run
// as real processes against a release served over HTTP, and the second stage is killed at a chosen
// file operation while it changes the client. Every client file must then hold its old or its new
// bytes; the recovery of the next start alone must leave exactly the old release, or the new one
// once the step was recorded as done; and a start after it must leave exactly the new release.
#include "ensemblepatchwriter.h"
#include "httpserverfixture.h"
#include "qtwait.h"
#include "releasetools.h"
#include "tempdir.h"
#include "updaterruns.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

namespace {

const int kVersion = 3200;

// A file of the client: its bytes before and after the update; empty when it is not there.
struct ClientFile {
    QString path;
    QByteArray before;
    QByteArray after;
};

// Where the second stage dies: the call, a text of its path, and for writes the first bytes.
struct KillPoint {
    const char* call;
    const char* path;
    const char* data;
    bool before;
    const char* recovery;
    // Before the next start, a folder is put where the first installed file kept aside stood.
    bool obstructed = false;
};

// The next start is stopped here: once its recovery has removed the record of the killed step.
const KillPoint kRecoveryDone{"unlink", "replace.journal", nullptr, false, ""};

QByteArray sha512(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha512).toHex();
}

QByteArray lines(const QByteArray& text, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += text + QByteArray::number(i) + '\n';
    return out;
}

class InterruptedUpdateTest : public TempDirTest {
protected:
    void SetUp() override
    {
        client = makeDir("client");
        disk = makeDir("disk/data");
        const QByteArray updater = readFile(VL_UPDATE_PROGRAM);
        ASSERT_FALSE(updater.isEmpty());
        // The installation: the updater beside a client one release behind, whose data folder
        // lies on another disk and whose library is reached through its soname link.
        install("update", updater, 0755);
        install("vl3client_runscript.sh", "#!/bin/sh\necho started > '" + QFile::encodeName(path("started")) + "'\n",
                0755);
        ASSERT_TRUE(QFile::link(disk, client + "/data"));
        files = {
            {"bin/tool", readFile("/usr/bin/true"), readFile("/usr/bin/false")},
            {"lib/libx.so.5.12", lines("old library ", 3000), lines("new library ", 3100)},
            {"data/readme.txt", "Voxlane 3.1\n", "Voxlane 3.2: faster start\n"},
            {"big.bin", lines("old data ", 20000), lines("new data ", 21000)},
            {"data/new.txt", QByteArray(), "added in 3.2\n"},
            {"docs/guide/intro.txt", QByteArray(), "a new guide\n"},
            {"obsolete.txt", "left over from 3.0\n", QByteArray()},
        };
        for (const ClientFile& file : files) {
            if (!file.before.isEmpty())
                install(file.path, file.before, file.path == "bin/tool" ? 0755 : 0644);
        }
        ASSERT_TRUE(QFile::link("libx.so.5.12", client + "/lib/libx.so.5"));
        publishRelease(updater);
        server = std::make_unique<TestHttpServer>(path("www"), 600);
        ASSERT_TRUE(server->isRunning());
        followRelease(kVersion);
        writeFile("tmp/vl3_update_log");
    }

    void TearDown() override
    {
        // A stage that did not end in time is ended here, by the process id it runs under.
        killProcessesRunningFrom(path() + "/");
    }

    // The channel the installed updater follows: the test server, at `version`.
    void followRelease(int version)
    {
        writeFile("config/update.ini",
                  QString("[Channel]\nalpha=%1\nalphaRevno=%2\n").arg(server->baseUrl()).arg(version).toUtf8());
    }

    void install(const QString& relative, const QByteArray& content, int mode)
    {
        const QString file = writeFile("client/" + relative, content);
        QFile::setPermissions(file, QFileDevice::Permissions(mode == 0755 ? 0x7555 : 0x6444));
    }

    void publishRelease(const QByteArray& updater)
    {
        const QString release = makeDir(QString("www/%1").arg(kVersion));
        const QString files = makeDir(QString("www/%1/client").arg(kVersion));
        publishIni("update_linux_amd64.ini",
                   QString("[updater]\nupdate=%1::%2\n").arg(QString(sha512(updater))).arg(updater.size()).toUtf8(),
                   release);

        const ClientFile& tool = file("bin/tool");
        const ByteVector o(tool.before.begin(), tool.before.end());
        const ByteVector n(tool.after.begin(), tool.after.end());
        const ByteVector patch = packEnsemblePatch(makeEnsemblePatchParts(o, n, {wholeFileElement(o, n)}));
        const QString patchFile =
            writeFile(QString("www/%1/client/bin/tool_patch_").arg(kVersion),
                      QByteArray(reinterpret_cast<const char*>(patch.data()), int(patch.size())));
        QByteArray ini = "[client]\n";
        ini += "bin/tool_patch_=" + line(readFile(patchFile), tool.before, "bin/tool") + "\n";
        // A packed line per changed file; the patch above is taken for the installed program.
        const auto packedLine = [&](const QString& key, const QString& target, const QByteArray& content) {
            const QByteArray download = key.endsWith(".gz") ? gzipped(files + "/" + key, content)
                                                           : packed(files + "/" + key, content);
            return key.toUtf8() + "=" + line(download, content, target) + "\n";
        };
        ini += packedLine("bin/tool._lzma2_", "bin/tool", tool.after);
        ini += packedLine("lib/libx.so.5._lzma2_", "lib/libx.so.5", file("lib/libx.so.5.12").after);
        ini += packedLine("data/readme.txt._lzma2_", "data/readme.txt", file("data/readme.txt").after);
        ini += packedLine("big.bin.gz", "big.bin", file("big.bin").after);
        for (const QString& plain : {QString("data/new.txt"), QString("docs/guide/intro.txt")}) {
            const QByteArray content = file(plain).after;
            writeFile(QString("www/%1/client/%2").arg(kVersion).arg(plain), content);
            ini += plain.toUtf8() + "=" + sha512(content) + "::" + QByteArray::number(content.size()) + "\n";
        }
        ini += "[delete]\nobsolete.txt=1\n";
        publishIni("vl3_client_linux_amd64.ini", ini, release);
    }

    // "digest::size::digest::size::target" of a downloaded file and what it becomes.
    static QByteArray line(const QByteArray& download, const QByteArray& result, const QString& target)
    {
        return sha512(download) + "::" + QByteArray::number(download.size()) + "::" + sha512(result)
               + "::" + QByteArray::number(result.size()) + "::" + target.toUtf8();
    }

    QByteArray packed(const QString& container, const QByteArray& content)
    {
        EXPECT_TRUE(packFile(writeFile("plain/" + QFileInfo(container).fileName(), content), container));
        return readFile(container);
    }

    QByteArray gzipped(const QString& target, const QByteArray& content)
    {
        const QString plain = writeFile("plain/" + QFileInfo(target).fileName(), content);
        EXPECT_EQ(runCommand(QString("gzip -n -c '%1' > '%2'").arg(plain, target)), 0) << "gzip is needed";
        return readFile(target);
    }

    void publishIni(const QString& name, const QByteArray& content, const QString& release)
    {
        ASSERT_TRUE(publishProductIni(writeFile("plain/" + name, content), release));
    }

    const ClientFile& file(const QString& relative) const
    {
        for (const ClientFile& f : files) {
            if (f.path == relative)
                return f;
        }
        ADD_FAILURE() << relative.toStdString();
        return files.first();
    }

    // Starts the installed updater as the client would; with a kill point, its stages carry it,
    // and with `stop` they are stopped there instead of killed.
    void startUpdater(const KillPoint* point, bool stop = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", makeDir("tmp"));
        env.insert("HOME", makeDir("home"));
        env.insert("VL3_CONFIG_DIR", makeDir("config"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // A preloaded library comes before a shared sanitizer runtime; leaks are not looked at here.
        env.insert("ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0");
        if (point) {
            env.insert("LD_PRELOAD", VL_KILL_SHIM);
            env.insert("VL_KILL_CALL", point->call);
            env.insert("VL_KILL_PATH", point->path);
            if (point->data)
                env.insert("VL_KILL_DATA", point->data);
            if (point->before)
                env.insert("VL_KILL_BEFORE", "1");
            env.insert("VL_KILL_MARKER", path("killed"));
            if (stop)
                env.insert("VL_KILL_STOP", "1");
        }
        firstStage.setProcessEnvironment(env);
        firstStage.setProcessChannelMode(QProcess::ForwardedChannels);
        firstStage.start(client + "/update", QStringList());
        ASSERT_TRUE(firstStage.waitForStarted());
    }

    // Waits until the client was started or the second stage was killed and is gone.
    bool waitForEnd()
    {
        const bool ended = waitUntil([&] { return QFile::exists(path("started")) || QFile::exists(path("killed")); },
                                     240000);
        firstStage.waitForFinished(60000);
        if (!ended || !QFile::exists(path("killed")))
            return ended;
        const QByteArray pid = readFile(path("killed")).trimmed();
        QByteArray stat;
        const bool gone = waitUntil(
            [&] {
                stat = readFile("/proc/" + pid + "/stat");
                return stat.isEmpty() || stat.contains(") Z ");
            },
            30000);
        EXPECT_TRUE(gone) << "the killed process " << pid.toStdString() << " is still there: " << stat.toStdString();
        return gone;
    }

    // Every entry below the client and the data disk: file contents, link targets and folders.
    QMap<QString, QByteArray> tree() const
    {
        QMap<QString, QByteArray> out;
        for (const QString& root : {client, disk}) {
            QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QFileInfo info(it.next());
                const QString name = info.filePath().mid(path().size());
                if (info.isSymLink())
                    out[name] = "-> " + QFile::encodeName(QFile::symLinkTarget(info.filePath()));
                else if (info.isDir())
                    out[name] = "folder";
                else
                    out[name] = readFile(info.filePath());
            }
        }
        return out;
    }

    QMap<QString, QByteArray> newRelease() const
    {
        QMap<QString, QByteArray> out;
        out["/client/update"] = readFile(VL_UPDATE_PROGRAM);
        out["/client/vl3client_runscript.sh"] = readFile(client + "/vl3client_runscript.sh");
        out["/client/data"] = "-> " + QFile::encodeName(disk);
        for (const QString& folder : QStringList{"/client/bin", "/client/lib", "/client/docs", "/client/docs/guide"})
            out[folder] = "folder";
        out["/client/lib/libx.so.5"] = "-> " + QFile::encodeName(client + "/lib/libx.so.5.12");
        for (const ClientFile& f : files) {
            const QString where = f.path.startsWith("data/") ? "/disk/" + f.path : "/client/" + f.path;
            if (!f.after.isEmpty())
                out[where] = f.after;
        }
        return out;
    }

    // The new release as its replacement step leaves it: the files to delete are still there.
    QMap<QString, QByteArray> replacedRelease() const
    {
        QMap<QString, QByteArray> out = newRelease();
        out["/client/obsolete.txt"] = file("obsolete.txt").before;
        return out;
    }

    // The entries in which two trees differ, for the message of a failed test.
    static std::string differences(const QMap<QString, QByteArray>& a, const QMap<QString, QByteArray>& b)
    {
        QStringList names;
        for (const QString& name : (QStringList(a.keys()) + QStringList(b.keys()))) {
            if (!names.contains(name) && a.value(name, "(none)") != b.value(name, "(none)"))
                names.append(name);
        }
        return names.join(' ').toStdString();
    }

    QByteArray logLine(const QByteArray& text) const { return updaterLogLine(path("tmp"), text); }

    // What the log files say about the recovery: "rolled back", "completed" or nothing.
    std::string recoveryInLog() const
    {
        const QByteArray line = logLine("Recovered replacement step");
        return line.isEmpty() ? std::string() : line.mid(line.lastIndexOf('"') + 2).toStdString();
    }

    // Kills a run of the update at `point`, stops the next start of the installed updater once it
    // has recovered, then starts it again for `rerunVersion`, a release with the same files.
    void killAndRerun(const KillPoint& point, int rerunVersion = kVersion)
    {
        const QMap<QString, QByteArray> before = tree();
        startUpdater(&point);
        ASSERT_TRUE(waitForEnd());
        ASSERT_TRUE(QFile::exists(path("killed"))) << "the second stage never reached " << point.call << " "
                                                   << point.path;
        ASSERT_FALSE(QFile::exists(path("started")));

        // Every file is whole: as installed or as released, the library still behind its link.
        const QMap<QString, QByteArray> killed = tree();
        for (const ClientFile& f : files) {
            const QString where = f.path.startsWith("data/") ? "/disk/" + f.path : "/client/" + f.path;
            const QByteArray now = killed.value(where);
            EXPECT_TRUE(now == f.before || now == f.after)
                << where.toStdString() << " holds " << now.size() << " bytes";
        }
        EXPECT_EQ(killed.value("/client/lib/libx.so.5"), before.value("/client/lib/libx.so.5"));
        EXPECT_EQ(killed.value("/client/update"), before.value("/client/update"));

        QFile::remove(path("killed"));
        if (rerunVersion != kVersion) {
            ASSERT_EQ(runCommand(QString("cp -r '%1' '%2'").arg(path(QString("www/%1").arg(kVersion)),
                                                               path(QString("www/%1").arg(rerunVersion)))),
                      0);
            followRelease(rerunVersion);
        }
        if (point.obstructed)
            startAgainstAnObstacle();

        // What recovery alone leaves: the old release up to the record of the step as done, the
        // new one from there on, with nothing of the updater's beside either.
        startUpdater(&kRecoveryDone);
        ASSERT_TRUE(waitForEnd());
        ASSERT_TRUE(QFile::exists(path("killed"))) << "the next start did not recover";
        QMap<QString, QByteArray> recovered = tree();
        // The session's record beside the updater stays until the update has been finished.
        EXPECT_TRUE(recovered.remove("/client/update.ini"));
        EXPECT_EQ(differences(recovered, point.recovery == std::string("completed") ? replacedRelease() : before), "");
        QFile::remove(path("killed"));

        startUpdater(nullptr);
        ASSERT_TRUE(waitForEnd());
        ASSERT_TRUE(QFile::exists(path("started"))) << "the next start did not finish the update";
        const QMap<QString, QByteArray> after = tree();
        EXPECT_EQ(after.keys(), newRelease().keys()) << "nothing of the updater's stays behind";
        EXPECT_TRUE(after == newRelease());
        EXPECT_EQ(recoveryInLog(), point.recovery);
        EXPECT_TRUE(QDir(path("tmp")).entryList({"voxlane_temp_*"}, QDir::Dirs).isEmpty());
    }

    // A folder now stands where an installed file must go back: the start shows the file and the
    // reason and keeps the record of the killed step for the start after the folder is gone.
    void startAgainstAnObstacle()
    {
        const QStringList backups = QStringList(tree().keys()).filter(".vl3_backup");
        ASSERT_FALSE(backups.isEmpty()) << "no installed file was kept aside";
        const QString installed = path() + backups.first().chopped(int(strlen(".vl3_backup")));
        ASSERT_TRUE(QFile::remove(installed) && QDir().mkdir(installed));
        const QByteArray refusal = "Interrupted update not recovered";
        startUpdater(nullptr);
        waitUntil([&] { return !logLine(refusal).isEmpty() || firstStage.state() == QProcess::NotRunning; }, 120000);
        // The start waits for the user to read the error.
        EXPECT_EQ(firstStage.state(), QProcess::Running);
        firstStage.kill();
        firstStage.waitForFinished(10000);
        const QByteArray shown = logLine(refusal);
        EXPECT_TRUE(shown.contains(QFile::encodeName(installed)) && shown.contains(strerror(EISDIR)))
            << shown.toStdString();
        EXPECT_TRUE(QFileInfo(installed + ".vl3_backup").isFile());
        ASSERT_TRUE(QDir().rmdir(installed));
    }

    QString client;
    QString disk;
    QList<ClientFile> files;
    std::unique_ptr<TestHttpServer> server;
    QProcess firstStage;
};

TEST_F(InterruptedUpdateTest, UninterruptedUpdateFollowsTheClientsLinks)
{
    startUpdater(nullptr);
    ASSERT_TRUE(waitForEnd());
    ASSERT_TRUE(QFile::exists(path("started")));
    const QMap<QString, QByteArray> after = tree();
    EXPECT_EQ(after.keys(), newRelease().keys());
    EXPECT_TRUE(after == newRelease());
    EXPECT_EQ(recoveryInLog(), "");
}

TEST_F(InterruptedUpdateTest, StartDuringTheReplacementLeavesTheSessionToTheRunningStage)
{
    // The user starts the client again while the second stage replaces its files: the new start
    // must not take the stage's record of changes for a leftover and undo them under it.
    const KillPoint afterFirstBackup{"link", ".vl3_backup", nullptr, false, ""};
    startUpdater(&afterFirstBackup, true);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(path("killed")); }, 240000)) << "the second stage never got there";
    firstStage.waitForFinished(60000);
    const pid_t secondStage = readFile(path("killed")).trimmed().toInt();
    const QMap<QString, QByteArray> during = tree();
    const auto refusedBecauseTheStageRuns = [&] { return !logLine("Another stage holds the session").isEmpty(); };

    startUpdater(nullptr);
    waitUntil([&] { return refusedBecauseTheStageRuns() || firstStage.state() == QProcess::NotRunning; }, 120000);
    firstStage.kill();
    firstStage.waitForFinished(10000);
    EXPECT_TRUE(refusedBecauseTheStageRuns());
    EXPECT_EQ(recoveryInLog(), "");
    EXPECT_TRUE(tree() == during) << "the running stage's files were changed";

    ASSERT_EQ(::kill(secondStage, SIGCONT), 0);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(path("started")); }, 240000)) << "the stage did not finish";
    EXPECT_TRUE(tree() == newRelease());
}

TEST_F(InterruptedUpdateTest, KilledAfterTheFirstBackupIsUndoneThenUpdated)
{
    killAndRerun({"link", ".vl3_backup", nullptr, false, "rolled back"});
}

TEST_F(InterruptedUpdateTest, KilledWhileWritingAPatchedFileIsUndoneThenUpdated)
{
    killAndRerun({"write", "/client/bin/tool.vlpart-", nullptr, false, "rolled back"});
    EXPECT_FALSE(logLine("Found patch for \"bin/tool._lzma2_\"").isEmpty()) << "the program was patched";
}

TEST_F(InterruptedUpdateTest, KilledAfterTheLastReplacementIsUndoneThenUpdated)
{
    killAndRerun({"write", "replace.journal", "done", true, "rolled back"});
}

TEST_F(InterruptedUpdateTest, KilledUpdateIsUndoneBeforeANewerReleaseIsInstalled)
{
    // The next start finds the record of another release and discards that session: its
    // replacement is undone first, not stranded with the session's directory.
    killAndRerun({"write", "/client/big.bin.vlpart-", nullptr, false, "rolled back"}, kVersion + 1);
    EXPECT_FALSE(logLine("Cleaning up previous session").isEmpty());
}

TEST_F(InterruptedUpdateTest, KilledUpdateWhoseFileCannotBePutBackWaitsUntilItCan)
{
    killAndRerun({"link", ".vl3_backup", nullptr, false, "rolled back", true});
}

TEST_F(InterruptedUpdateTest, KilledBeforeCleanUpIsCompleted)
{
    // The step is recorded as verified; its backups are still there.
    killAndRerun({"write", "replace.journal", "done", false, "completed"});
}

} // namespace
