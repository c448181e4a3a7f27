// The updater as a real process: a second start hands "#" to the running one and ends with 0,
// a rejected command line shows its error and ends with 1, the marker file turns on the log,
// each start clears the leftovers of earlier updates, and a failed stage leaves no broken file
// in its session. Other accounts share the temporary folder with the user and may plant names
// there. A start that cannot go on tells its user in a box, answered on a display of the test's
// own, and ends; a full disk keeps the user's settings beside the program. A hostile server fails
// the update within bounds of memory and disk.
#include "ensemblepatchwriter.h"
#include "httpserverfixture.h"
#include "peakmemory.h"
#include "privileges.h"
#include "qtwait.h"
#include "releasetools.h"
#include "signingtools.h"
#include "smalldisk.h"
#include "tempdir.h"
#include "updaterruns.h"

#include <QDir>
#include <QDirIterator>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An X display of the test's own, on which the boxes that a start opens are answered as their
// user answers them: Return on each (the default button), its title noted once.
class BoxAnsweringDisplay {
public:
    explicit BoxAnsweringDisplay(const QString& numberFile)
    {
        // -noreset: by default the server resets whenever its last client leaves, here each
        // xdotool between the two stages, and drops every connection still in its handshake, such
        // as that of a second stage starting at that moment.
        m_Server.start("sh",
                       {"-c", "exec Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>\"$0\" 2>/dev/null",
                        numberFile});
        if (waitUntil([&] { return contentOf(numberFile).endsWith('\n'); }, 30000))
            m_Name = ":" + QString::fromLatin1(contentOf(numberFile).trimmed());
    }
    ~BoxAnsweringDisplay()
    {
        m_Server.kill();
        m_Server.waitForFinished(10000);
    }

    // ":N"; empty when the server did not start.
    QString name() const { return m_Name; }

    // Answers the boxes open now; called while a start runs. A box still open a second after
    // its answer is answered again.
    void answerBoxes()
    {
        if (m_Poll.isValid() && m_Poll.elapsed() < 200)
            return;
        m_Poll.start();
        for (const QByteArray& id : xdotool({"search", "--onlyvisible", "--name", "^(Error|Update|Confirm reboot)$"}).split('\n')) {
            if (id.isEmpty() || (m_Answered.contains(id) && m_Answered[id].elapsed() < 1000))
                continue;
            if (!m_Answered.contains(id))
                titles << QString::fromUtf8(xdotool({"getwindowname", id}).trimmed());
            m_Answered[id].start();
            xdotool({"windowfocus", "--sync", id, "key", "Return"});
        }
    }

    // Whether a window titled `title` shows.
    bool shows(const QString& title) const
    {
        return !xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"}).trimmed().isEmpty();
    }

    // Forgets the boxes answered so far: a later program may get the ids of their windows.
    void clear()
    {
        titles.clear();
        m_Answered.clear();
    }

    QStringList titles;

private:
    static QByteArray contentOf(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QByteArray xdotool(const QStringList& arguments) const
    {
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", m_Name);
        run.setProcessEnvironment(env);
        run.start("xdotool", arguments);
        run.waitForFinished(10000);
        return run.readAllStandardOutput();
    }

    QProcess m_Server;
    QString m_Name;
    QElapsedTimer m_Poll;
    QHash<QByteArray, QElapsedTimer> m_Answered;
};

// What one start of the table meets. The user is "nobody", with a home, a channel file and a
// client folder of their own, and another account (root) shares the temporary folder. The release
// keeps the installed updater and adds a file to the client, whose launch script notes each start.
struct StartScene {
    QString name;
    QString dir;
    QString tmp;
    QString client;
    QString release;
    // The installed updater's command line.
    QStringList arguments;
    QProcessEnvironment env;
    // Bytes one file of the start may hold: prlimit's --fsize.
    QString fileSizeLimit = "unlimited";
    // A file that the start inherits a descriptor of, named in VL_HANDED_OVER_LOCK_FD as a first
    // stage names the lock it hands to the second.
    QString handedOver;
    std::unique_ptr<TestHttpServer> server;
    // The client folder's disk, when it is a small one.
    std::unique_ptr<SmallDisk> disk;
    // The HTTP proxy of the update.ini beside the installed updater, when it names one.
    std::unique_ptr<TestHttpServer> proxy;
};

class UpdateProgramTest : public TempDirTest {
protected:
    void SetUp() override
    {
        // Each run gets its own program folder: the updater clears and writes beside itself.
        m_Program = makeDir("app") + "/update";
        ASSERT_TRUE(QFile::copy(VL_UPDATE_PROGRAM, m_Program)) << VL_UPDATE_PROGRAM;
        ASSERT_TRUE(QFile::setPermissions(m_Program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_Env = QProcessEnvironment::systemEnvironment();
        m_Env.insert("TMPDIR", makeDir("tmp"));
        m_Env.insert("HOME", makeDir("home"));
        // The private runtime folder that a login session gives the user.
        m_Env.insert("XDG_RUNTIME_DIR", makeDir("run"));
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_Env.insert("VL3_CONFIG_DIR", makeDir("config"));
        m_Env.insert("QT_QPA_PLATFORM", "offscreen");
        // In a sanitizer build: what Qt's platform plugins and the libraries below them keep
        // until the process exits is no leak of the updater's.
        m_Env.insert("LSAN_OPTIONS", "suppressions=" + writeFile("lsan.supp", kPlatformLeakSuppressions));
    }

    void start(QProcess* process, const QStringList& arguments)
    {
        process->setProcessEnvironment(m_Env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(m_Program, arguments);
    }

    // The program's windows show on `display`; false when its server did not start.
    bool showOn(const BoxAnsweringDisplay& display)
    {
        m_Env.insert("DISPLAY", display.name());
        m_Env.insert("QT_QPA_PLATFORM", "xcb");
        return !display.name().isEmpty();
    }

    // An alpha channel on a file server that has no release: a started update records its session,
    // fails its first download and waits in its error box.
    void serveNoRelease()
    {
        m_Server = std::make_unique<TestHttpServer>(makeDir("www"));
        ASSERT_TRUE(m_Server->isRunning());
        writeFile("config/update.ini", ("[Channel]\nalpha=" + m_Server->baseUrl() + "\nalphaRevno=5\n").toUtf8());
    }

    // The installation, the user's folders and the release of one start in `name`.
    void layOut(StartScene* scene, const QString& name)
    {
        scene->name = name;
        scene->dir = makeSharedDir(name);
        scene->tmp = makeSharedDir(name + "/tmp");
        const QString user = makeDir(name + "/user");
        scene->client = makeDir(name + "/user/app");
        const QString program = scene->client + "/update";
        ASSERT_TRUE(QFile::copy(m_Program, program));
        const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        ASSERT_TRUE(QFile::setPermissions(program, executable));
        ASSERT_TRUE(QFile::setPermissions(
            writeFile(name + "/user/app/vl3client_runscript.sh",
                      "#!/bin/sh\necho started >> \"$(dirname \"$0\")/client_started\"\n"),
            executable));
        scene->server = std::make_unique<TestHttpServer>(makeDir(name + "/www"), 600);
        ASSERT_TRUE(scene->server->isRunning());
        publishChannel(scene, "");
        makeDir(name + "/user/home");
        ASSERT_EQ(runCommand(QString("chown -R nobody:nogroup '%1' && chmod 700 '%1'").arg(user)), 0);
        ASSERT_EQ(runCommand("touch '" + scene->tmp + "/vl3_update_log'", true), 0);

        scene->release = makeDir(name + "/www/5");
        ASSERT_TRUE(publishProductIni(
            writeFile(name + "/staging/update_linux_amd64.ini", ("[updater]\nupdate=" + digestAndSize(program) + "\n").toUtf8()),
            scene->release));
        publishClientIni(scene, "");

        scene->env = m_Env;
        scene->env.insert("TMPDIR", scene->tmp);
        scene->env.insert("HOME", user + "/home");
        scene->env.insert("VL3_CONFIG_DIR", user + "/config");
        scene->env.remove("XDG_RUNTIME_DIR");
        scene->env.insert("QT_QPA_PLATFORM", "xcb");
        // libxkbcommon hands unterminated buffers to strndup, which a strict string check rejects,
        // and the X libraries keep allocations until exit.
        scene->env.insert("ASAN_OPTIONS", "detect_leaks=0");
    }

    // The user's channel file: the alpha channel on the scene's server, whose replies take the
    // test server's `parameters`, given in a path segment of the channel URL.
    void publishChannel(StartScene* scene, const QString& parameters)
    {
        const QString url = scene->server->baseUrl() + (parameters.isEmpty() ? "" : "_do:" + parameters + "/");
        writeFile(scene->name + "/user/config/update.ini", ("[Channel]\nalpha=" + url + "\nalphaRevno=5\n").toUtf8());
    }

    // The client's product ini: the added file, and `more` lines after it.
    void publishClientIni(StartScene* scene, const QString& more)
    {
        const QString added = writeFile(scene->name + "/www/5/client/data/new.txt", "added\n");
        ASSERT_TRUE(publishProductIni(
            writeFile(scene->name + "/staging/vl3_client_linux_amd64.ini",
                      ("[client]\ndata/new.txt=" + digestAndSize(added) + "\n" + more).toUtf8()),
            scene->release));
    }

    // The second stage runs `script` as its post-install command, with the client's files new and
    // the client folder in $dir.
    void publishPostInstallCommand(StartScene* scene, const QByteArray& script)
    {
        const QString command =
            writeFile(scene->name + "/www/5/client/post.sh", "#!/bin/sh\ndir=\"${1#--dir=}\"\n" + script);
        publishClientIni(scene, "post.sh=" + digestAndSize(command) + "\n[postinstall]\npost.sh=linux64,dir=__VL3_DIR__\n");
    }

    // Starts the installed updater as its user, with the scene's file size limit and handed-over
    // descriptor.
    void startAsUser(StartScene* scene, QProcess* process)
    {
        QProcessEnvironment env = scene->env;
        QString handOver;
        if (!scene->handedOver.isEmpty()) {
            env.insert("VL_HANDED_OVER_LOCK_FD", "9");
            handOver = "exec 9<>'" + scene->handedOver + "'; ";
        }
        process->setProcessEnvironment(env);
        process->setStandardOutputFile(scene->dir + "/output.txt", QIODevice::Append);
        process->setStandardErrorFile(scene->dir + "/output.txt", QIODevice::Append);
        startAsNobody(process, "/bin/sh",
                      QStringList{"-c",
                                  handOver + "trap '' XFSZ; prlimit --fsize=" + scene->fileSizeLimit + " \"$0\" \"$@\"",
                                  scene->client + "/update"}
                          + scene->arguments);
    }

    // Entries of the temporary folder whose names start with `prefix`.
    QStringList tmpEntries(const QString& prefix) const
    {
        return QDir(m_Env.value("TMPDIR")).entryList({prefix + "*"}, QDir::AllEntries | QDir::System | QDir::Hidden);
    }

    bool sessionRecorded() const { return QFile::exists(path("app/update.ini")); }

    // The lines of the one log file in the temporary folder.
    QStringList logLines()
    {
        const QDir folder(path("tmp/voxlane_update_log"));
        const QStringList files = folder.entryList(QDir::Files);
        EXPECT_EQ(files.size(), 1);
        if (files.size() != 1)
            return QStringList();
        return QString::fromLocal8Bit(readFile(folder.filePath(files[0]))).split('\n', Qt::SkipEmptyParts);
    }

    QString m_Program;
    QProcessEnvironment m_Env;
    std::unique_ptr<TestHttpServer> m_Server;
};

// The process running `program`; 0 when there is none.
pid_t processRunning(const QString& program)
{
    return processesRunningFrom(program).value(0, 0);
}

// Kills the process running `program`, if there is one, when the scope ends.
class ProgramReaper {
public:
    explicit ProgramReaper(const QString& program) : m_Program(program) {}
    ~ProgramReaper() { killProcessesRunningFrom(m_Program); }

private:
    QString m_Program;
};

// The files below `dir` larger than `bytes`, copies of the updater program aside.
QStringList filesLargerThan(const QString& dir, qint64 bytes)
{
    QStringList large;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName() != "update" && it.fileInfo().size() > bytes)
            large << QString("%1 (%2 bytes)").arg(it.filePath()).arg(it.fileInfo().size());
    }
    return large;
}

QString fileMode(const QString& file)
{
    struct stat st;
    if (::lstat(QFile::encodeName(file).constData(), &st) != 0)
        return "missing";
    return QString::number(st.st_mode & 07777, 8);
}

TEST_F(UpdateProgramTest, SecondInstanceKnocksAndEndsWithZero)
{
    // Without a version the first instance asks the version server, which does not answer here,
    // and then waits in its error box: alive long enough for the second start.
    QProcess first;
    start(&first, {"--nouser"});
    ASSERT_TRUE(waitUntil(
        [&] { return !QDir(path("run")).entryList({"VL3ClientUpdate*"}, QDir::System).isEmpty(); }, 30000))
        << "the first instance never listened";

    QProcess second;
    start(&second, {"client_linux_amd64", "5"});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_FALSE(QFile::exists(path("app/update.ini"))) << "the second start must not begin a session";
    // No marker file, no log folder.
    EXPECT_FALSE(QFile::exists(path("tmp/voxlane_update_log")));

    first.kill();
    first.waitForFinished(10000);
}

TEST_F(UpdateProgramTest, StartRemovesTheLeftoversOfEarlierUpdates)
{
    // Each start clears the known leftovers from the program folder and four of its subfolders,
    // Qt 4 libraries from the program folder only, and removes "old" once it is empty. It is
    // then left running (it waits in the box of its failed version query) and killed.
    const struct {
        const char* file;
        bool kept;
    } firstStart[] = {
        {"_old_update", false},
        {"_old_libQt5Core.so.5", false},
        {"libQtCore.so.4", false},
        {"old/_old_libsqlite.so", false},
        {"imageformats/_old_libqgif.so", false},
        {"accessible/_old_libqtaccessiblewidgets.so", false},
        {"sqldrivers/_old_libQt5Sql.so.5", false},
        {"imageformats/libQtGui.so.4", true},
        {"platforms/_old_libqgif.so", true},
        {"_old_unknown", true},
        {"libqgif.so", true},
    },
      secondStart[] = {
        {"old/_old_update", false},
        {"old/notes.txt", true},
    };
    auto startOnce = [this](int run) {
        m_Env.insert("TMPDIR", makeDir(QString("tmp%1").arg(run)));
        const QString runtime = makeDir(QString("run%1").arg(run));
        m_Env.insert("XDG_RUNTIME_DIR", runtime);
        QProcess process;
        start(&process, {"--nouser"});
        // The window's single-instance server listens once the leftovers are gone.
        EXPECT_TRUE(waitUntil(
            [&] { return !QDir(runtime).entryList({"VL3ClientUpdate*"}, QDir::System).isEmpty(); }, 30000))
            << "the program never listened";
        process.kill();
        process.waitForFinished(10000);
    };

    for (const auto& f : firstStart)
        writeFile(QString("app/") + f.file, "x");
    startOnce(1);
    for (const auto& f : firstStart)
        EXPECT_EQ(QFile::exists(path(QString("app/") + f.file)), f.kept) << f.file;
    EXPECT_FALSE(QFileInfo::exists(path("app/old")));
    EXPECT_TRUE(QFileInfo(path("app/accessible")).isDir());

    for (const auto& f : secondStart)
        writeFile(QString("app/") + f.file, "x");
    startOnce(2);
    for (const auto& f : secondStart)
        EXPECT_EQ(QFile::exists(path(QString("app/") + f.file)), f.kept) << f.file;
}

TEST_F(UpdateProgramTest, RejectedCommandLineShowsTheErrorAndEndsWithOne)
{
    writeFile("tmp/vl3_update_log");
    // The error box waits for an answer: a real X server and a key press give it one.
    BoxAnsweringDisplay display(path("display"));
    ASSERT_TRUE(showOn(display)) << "Xvfb did not start";
    // libxkbcommon hands unterminated buffers to strndup, which a strict string check rejects.
    m_Env.insert("ASAN_OPTIONS", "detect_leaks=1");
    QProcess run;
    start(&run, {"client_linux_amd64", "12x"});
    ASSERT_TRUE(waitUntil([&] {
        display.answerBoxes();
        return run.state() == QProcess::NotRunning;
    }, 120000));
    EXPECT_EQ(display.titles, QStringList{"Error"});
    EXPECT_EQ(run.exitCode(), 1);

    const QStringList lines = logLines();
    const QRegularExpression format("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\t\\|\\t(\\w+)\\t\\|\\t(.*)$");
    QStringList seen;
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = format.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        seen << match.captured(1) + ":" + match.captured(2);
    }
    const int started = seen.indexOf("Debug:Voxlane updater started");
    const int cleared = seen.indexOf("Debug:Removing old files done");
    ASSERT_GE(started, 0);
    EXPECT_GT(cleared, started);
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_EQ(seen.last(), "Warning:Failed to parse command line options, aborting");
}

// Starts within moments of each other: one claims the instance and runs the update, the others
// hand it "#" and end, each with a log file of its own.
TEST_F(UpdateProgramTest, StartsTogetherRunExactlyOneUpdate)
{
    m_Env.insert("TMPDIR", makeSharedDir("shared"));
    writeFile("shared/vl3_update_log");
    serveNoRelease();
    std::vector<std::unique_ptr<QProcess>> starts;
    for (int i = 0; i < 3; ++i) {
        starts.push_back(std::make_unique<QProcess>());
        start(starts.back().get(), {});
    }
    auto running = [&] {
        std::vector<QProcess*> alive;
        for (const auto& p : starts) {
            if (p->state() != QProcess::NotRunning)
                alive.push_back(p.get());
        }
        return alive;
    };
    ASSERT_TRUE(waitUntil([&] { return running().size() == 1; }, 30000)) << running().size() << " still run";
    for (const auto& p : starts) {
        if (p->state() == QProcess::NotRunning) {
            EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(p->exitCode(), 0);
        }
    }
    const QString folder = path("shared/voxlane_update_log");
    const QStringList files = QDir(folder).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 3) << files.join(' ').toStdString();
    auto countLogs = [&](const std::function<bool(const QByteArray&)>& holds) {
        int count = 0;
        for (const QString& name : files)
            count += holds(readFile(folder + "/" + name));
        return count;
    };
    ASSERT_TRUE(waitUntil(
        [&] { return countLogs([](const QByteArray& log) { return log.contains("Update engine initialized"); }) > 0; },
        30000))
        << "the one instance never started its update";
    EXPECT_EQ(countLogs([](const QByteArray& log) { return log.contains("Update engine initialized"); }), 1);
    EXPECT_EQ(countLogs([](const QByteArray& log) {
                  return log.trimmed().endsWith("Detected other instance running, aborting");
              }),
              2);
    EXPECT_EQ(tmpEntries("voxlane_temp_").size(), 1) << tmpEntries("voxlane_temp_").join(' ').toStdString();
    EXPECT_EQ(fileMode(folder), "700");
    for (const QString& name : files)
        EXPECT_EQ(fileMode(folder + "/" + name), "600") << name.toStdString();
    if (::geteuid() == 0) {
        EXPECT_NE(runCommand("cat '" + folder + "/" + files[0] + "'", true), 0) << "another account read the log";
    }

    running().front()->kill();
    running().front()->waitForFinished(10000);
}

// Here the user is "nobody", with a program folder, home and runtime folder of its own, and the
// other account (root) fills the shared temporary folder with files under every name the
// instance socket could have there, which the user cannot remove. The guard holds all the same.
TEST_F(UpdateProgramTest, NamesPlantedInTheSharedFolderCannotSwitchTheGuardOff)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as two accounts needs root";
    const QString shared = makeSharedDir("shared");
    const QString user = shared + "/user";
    serveNoRelease();
    QFile::setPermissions(m_Program, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(path("config/update.ini"), QFile::ReadOwner | QFile::ReadOther);
    QFile::setPermissions(path("config"), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    ASSERT_EQ(runCommand(QString("mkdir -m 700 '%1' && cd '%1' && mkdir app home config run && cp '%2' app/update "
                                 "&& cp '%3' config/update.ini")
                             .arg(user, m_Program, path("config/update.ini")),
                         true),
              0);
    const QString plant = "for n in range(65536):\n"
                          "    open('%1/VL3ClientUpdate%x' % n, 'w').close()\n";
    ASSERT_EQ(runCommand("python3 -c \"" + QString(plant).arg(shared) + "\""), 0);

    m_Program = user + "/app/update";
    m_Env.insert("TMPDIR", shared);
    m_Env.insert("HOME", user + "/home");
    m_Env.insert("VL3_CONFIG_DIR", user + "/config");
    m_Env.insert("XDG_RUNTIME_DIR", user + "/run");
    auto startAsUser = [&](QProcess* process) {
        process->setProcessEnvironment(m_Env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        startAsNobody(process, m_Program, {});
    };
    QProcess first;
    startAsUser(&first);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(user + "/app/update.ini"); }, 30000))
        << "the first start never ran its update";
    QProcess second;
    startAsUser(&second);
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(tmpEntries("voxlane_temp_").size(), 1);
    first.kill();
    first.waitForFinished(10000);
}

// Starts as their user meets them, each through both stages where it gets that far: whatever
// stops one tells the user in one box and ends, leaving nothing behind that a later start trips
// over and nothing at all in the home folder; another account's names in the shared folders do
// not stop one.
TEST_F(UpdateProgramTest, EachStartEndsAsItsUserIsTold)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the user and another account need root";
    BoxAnsweringDisplay display(path("display"));
    ASSERT_TRUE(showOn(display)) << "Xvfb did not start";
    // The window stays open, showing that the update has ended: the installed updater's, or that
    // of the second stage, which the installed updater handed the update to.
    const int staysOpen = -1;
    const int secondStageStaysOpen = -2;
    static const QStringList secondStage{"--clientupdate", "client_linux_amd64", "5", "#"};
    // The second stage has updated the client before it fails to start it, and names the script.
    auto clientUpdated = [](StartScene* scene) {
        EXPECT_EQ(readFile(scene->client + "/data/new.txt"), "added\n");
        EXPECT_FALSE(updaterLogLine(scene->tmp, "Failed to start the Voxlane client: " + scene->client.toUtf8()
                                        + "/vl3client_runscript.sh: ")
                         .isEmpty());
    };

    // The second start comes while the second stage of the first waits in its post-install
    // command for "go".
    auto duringSecondStage = [this](StartScene* scene) {
        publishPostInstallCommand(scene, "touch \"$dir/waiting\"\n"
                                         "for i in $(seq 1200); do [ -e \"$dir/go\" ] && exit 0; sleep 0.1; done\nexit 1\n");
        QProcess first;
        startAsUser(scene, &first);
        ASSERT_TRUE(first.waitForFinished(120000));
        ASSERT_TRUE(waitUntil([&] { return QFile::exists(scene->client + "/waiting"); }, 120000))
            << "the second stage never reached its command";
    };
    auto secondStageGoesOn = [](StartScene* scene) { QFile(scene->client + "/go").open(QIODevice::WriteOnly); };
    // The updater's release runs a command that asks for a restart, which the user agrees to, after
    // another account has put `plant` (a shell command run in the temporary folder) under the
    // name of the marker that the answer leaves.
    auto restartAgreedAfter = [this](const QString& plant) {
        return [this, plant](StartScene* scene) {
            const QString restart = writeFile(scene->name + "/www/5/updater/restart.sh", "#!/bin/sh\nexit 1010\n");
            ASSERT_TRUE(publishProductIni(
                writeFile(scene->name + "/staging/update_linux_amd64.ini",
                          ("[updater]\nupdate=" + digestAndSize(scene->client + "/update") + "\nrestart.sh="
                           + digestAndSize(restart) + "\n[postinstall]\nrestart.sh=linux64\n")
                              .toUtf8()),
                scene->release));
            ASSERT_EQ(runCommand("cd '" + scene->tmp + "' && " + plant), 0);
        };
    };
    // A file of the user's, which a link planted as the marker leads to.
    const QByteArray notes = QByteArray("the user's own notes\n").repeated(50);
    auto notesOf = [](StartScene* scene) { return scene->dir + "/user/notes"; };
    // The client lies on a disk with `sparePages` free pages; $TMPDIR has room.
    auto clientOnSmallDisk = [](int sparePages) {
        return [sparePages](StartScene* scene) {
            scene->disk = std::make_unique<SmallDisk>(scene->client, sparePages);
            ASSERT_TRUE(scene->disk->mounted());
        };
    };
    // Once the disk has room, the next start completes the update.
    auto startWithRoom = [this, &display](StartScene* scene) {
        ASSERT_TRUE(scene->disk->grow(1024));
        QProcess again;
        startAsUser(scene, &again);
        ASSERT_TRUE(waitUntil([&] {
            display.answerBoxes();
            return again.state() == QProcess::NotRunning;
        }, 120000));
        EXPECT_EQ(again.exitCode(), 0);
    };
    // The user's own settings in the update.ini beside the installed program, which also holds the
    // session record while an update runs. (A channel there counts only where the config folder
    // holds no update.ini; the scene's does.) They take more than a page, and so does the file
    // with the record or without it: one free page does not hold the new file.
    const QByteArray pageOfNotes = QByteArray("the user's own notes ").repeated(250).trimmed();
    const QByteArray userSettings = "[Channel]\nbeta=false\n\n[notes]\ntext=" + pageOfNotes + "\n\n[update]\nstreams=2\n";
    const QMap<QString, QString> userKeys{{"Channel/beta", "false"}, {"notes/text", pageOfNotes}, {"update/streams", "2"}};
    auto userIniOf = [](StartScene* scene) { return scene->client + "/update.ini"; };
    auto settingsOf = [](const QString& file) {
        QSettings ini(file, QSettings::IniFormat);
        QMap<QString, QString> values;
        for (const QString& key : ini.allKeys())
            values.insert(key, ini.value(key).toString());
        return values;
    };
    auto withSettings = [&](const QByteArray& settings) {
        return [&, settings](StartScene* scene) {
            writeFile(scene->name + "/user/app/update.ini", settings);
            ASSERT_EQ(runCommand("chown nobody:nogroup '" + userIniOf(scene) + "'"), 0);
        };
    };
    auto withUserSettings = [&](const std::function<void(StartScene*)>& prepare) {
        return [&, prepare](StartScene* scene) {
            withSettings(userSettings)(scene);
            prepare(scene);
        };
    };
    // Settings edited by hand, with a line that Qt's ini reader skips.
    const QByteArray handEditedSettings = "[Channel]\nbeta=false\n\n[update]\nstreams=2\n";
    auto handEditedWith = [&](const QByteArray& before, const QByteArray& within) {
        const int update = handEditedSettings.indexOf("streams=");
        return withSettings(before + handEditedSettings.left(update) + within + handEditedSettings.mid(update));
    };
    // Whether a start of the installed updater, not a second stage, logged `text`.
    auto startLogged = [](StartScene* scene, const QString& text) {
        const QStringList logs = updaterLogs(scene->tmp).split("==== ");
        return std::any_of(logs.cbegin(), logs.cend(), [&](const QString& log) {
            return log.contains("parseCommandLineOptions (\"" + scene->client + "/update\")") && log.contains(text);
        });
    };
    // Once the disk has room, the next start completes the update, through both stages, and
    // leaves the user's settings without a record.
    auto settingsKeptByTheStartWithRoom = [&](StartScene* scene) {
        startWithRoom(scene);
        ASSERT_TRUE(waitUntil([&] { return processesRunningFrom(scene->tmp + "/").isEmpty(); }, 120000));
        EXPECT_EQ(settingsOf(userIniOf(scene)), userKeys);
    };
    // The failed start leaves the user's file as it was.
    auto settingsKeptThroughTheFailedStart = [&](StartScene* scene) {
        EXPECT_EQ(readFile(userIniOf(scene)), userSettings);
        settingsKeptByTheStartWithRoom(scene);
    };
    // The update's post-install command fills the client folder's disk up to one free page, which
    // the client takes when it notes its start: the record cannot be taken away.
    auto updateFillingTheDisk = withUserSettings([&](StartScene* scene) {
        clientOnSmallDisk(1024)(scene);
        publishPostInstallCommand(scene, "avail=$(df -B4096 --output=avail \"$dir\" | tail -1)\n"
                                         "head -c $(( (avail - 1) * 4096 )) /dev/zero > \"$dir/filler\"\n");
    });
    // The client is updated and started once and the user's settings stay; the next start, with
    // room, finds no session and starts the client once more.
    auto settingsKeptThroughTheFullDisk = [&](StartScene* scene) {
        ASSERT_TRUE(waitUntil([&] { return processesRunningFrom(scene->tmp + "/").isEmpty(); }, 120000));
        EXPECT_EQ(readFile(scene->client + "/data/new.txt"), "added\n");
        EXPECT_TRUE(waitUntil([&] { return QFile::exists(scene->client + "/client_started"); }, 120000));
        EXPECT_EQ(readFile(scene->client + "/client_started"), "started\n");
        QMap<QString, QString> settings = settingsOf(userIniOf(scene));
        for (const QString& key : userKeys.keys())
            EXPECT_EQ(settings.value(key), userKeys[key]) << key.toStdString();
        ASSERT_TRUE(QFile::remove(scene->client + "/client_started"));

        settingsKeptByTheStartWithRoom(scene);
        EXPECT_FALSE(startLogged(scene, "Continuing previous session"));
        EXPECT_FALSE(startLogged(scene, "Cleaning up previous session"));
    };
    // The update runs through both stages, and the file keeps both settings, without the line
    // that Qt skipped and without the record.
    auto handEditedSettingsKept = [&](StartScene* scene) {
        ASSERT_TRUE(waitUntil([&] { return processesRunningFrom(scene->tmp + "/").isEmpty(); }, 120000));
        EXPECT_EQ(readFile(scene->client + "/data/new.txt"), "added\n");
        EXPECT_EQ(settingsOf(userIniOf(scene)),
                  (QMap<QString, QString>{{"Channel/beta", "false"}, {"update/streams", "2"}}));
        EXPECT_TRUE(startLogged(scene, "UpdateiniData::modify write result NoError"));
        EXPECT_FALSE(updaterLogLine(scene->tmp, "UpdateiniData::modifyTempIni write result NoError").isEmpty());
    };
    // Files of random bytes, straight from the file server or through the user's proxy, in
    // replies that the server (the proxy, where there is one) frames as `framing` says. Framed
    // however it may be, a healthy download is never taken for one that takes in a head without
    // end: every file comes whole, and where no reply fails on purpose, in its first attempt.
    struct Served {
        const char* name;
        int count;
        qint64 bytes;
        QString framing;
        bool throughProxy = false;
        int streams = 6;
    };
    auto filesServed = [&](const Served& served) {
        return [&, served](StartScene* scene) {
            QString settings = QString("[update]\nstreams=%1\n").arg(served.streams);
            if (served.throughProxy) {
                scene->proxy = std::make_unique<TestHttpServer>(scene->dir + "/www", 600, scene->dir + "/proxy.log");
                ASSERT_TRUE(scene->proxy->isRunning());
                settings += QString("proxy=127.0.0.1:%1\n").arg(scene->proxy->port());
            }
            withSettings(settings.toUtf8())(scene);
            publishChannel(scene, served.framing);
            const QString file = scene->dir + "/www/5/client/data/file0.bin";
            ASSERT_EQ(runCommand(QString("head -c %1 /dev/urandom > '%2'").arg(served.bytes).arg(file)), 0);
            const QString digest = digestAndSize(file);
            QString lines;
            for (int n = 1; n <= served.count; ++n) {
                const QString name = QString("data/file%1.bin").arg(n);
                ASSERT_TRUE(QFile::copy(file, scene->dir + "/www/5/client/" + name));
                lines += name + "=" + digest + "\n";
            }
            publishClientIni(scene, lines);
        };
    };
    auto filesCameWhole = [&](const Served& served) {
        return [=](StartScene* scene) {
            ASSERT_TRUE(waitUntil([&] { return processesRunningFrom(scene->tmp + "/").isEmpty(); }, 120000));
            const QString logs = updaterLogs(scene->tmp);
            EXPECT_FALSE(logs.contains("Shut down")) << logs.toStdString();
            if (served.framing.contains("cutonce="))
                EXPECT_TRUE(logs.contains(" ended after ")) << logs.toStdString();
            else if (!served.framing.contains("fail="))
                EXPECT_FALSE(logs.contains("Attempt failed")) << logs.toStdString();
            for (int n = 1; n <= served.count; ++n) {
                const QFileInfo file(scene->client + QString("/data/file%1.bin").arg(n));
                EXPECT_TRUE(file.exists() && file.size() == served.bytes) << n;
            }
            EXPECT_EQ(readFile(scene->dir + "/proxy.log").count("/5/client/data/file"),
                      served.throughProxy ? served.count : 0);
        };
    };
    struct Start {
        const char* name;
        std::function<void(StartScene*)> prepare;
        int exitCode;
        QStringList boxes;
        // A line of the logs.
        QByteArray logged;
        bool clientStarted;
        int sessionsLeft;
        // What comes after the start has ended.
        std::function<void(StartScene*)> then;
    };
    std::vector<Start> starts = {
        {"runtime folder of another account",
         [](StartScene* scene) {
             ASSERT_EQ(runCommand("mkdir -m 777 '" + scene->tmp + "/voxlane_runtime_65534'"), 0);
         },
         0, {}, "running without it", true, 0,
         [](StartScene* scene) { EXPECT_TRUE(QDir(scene->tmp + "/voxlane_runtime_65534").isEmpty()); }},
        {"runtime folder linked by another account to a private folder of the user's",
         [](StartScene* scene) {
             ASSERT_EQ(runCommand("mkdir -m 700 '" + scene->dir + "/user/run'", true), 0);
             ASSERT_EQ(runCommand("ln -s '" + scene->dir + "/user/run' '" + scene->tmp + "/voxlane_runtime_65534'"), 0);
         },
         0, {}, "running without it", true, 0,
         [](StartScene* scene) { EXPECT_TRUE(QDir(scene->dir + "/user/run").isEmpty()); }},
        {"restart marker linked by another account to a file of the user's",
         [&](StartScene* scene) {
             writeFile(scene->name + "/user/notes", notes);
             ASSERT_EQ(runCommand("chown nobody:nogroup '" + notesOf(scene) + "'"), 0);
             restartAgreedAfter("ln -s '" + notesOf(scene) + "' vl3_force_update")(scene);
         },
         0, {"Confirm reboot"}, "Failed to store force update notice", false, 1,
         [&](StartScene* scene) { EXPECT_EQ(readFile(notesOf(scene)), notes); }},
        {"restart marker taken by a named pipe of another account", restartAgreedAfter("mkfifo -m 622 vl3_force_update"),
         0, {"Confirm reboot"}, "Failed to store force update notice", false, 1, nullptr},
        {"full temporary folder",
         [this](StartScene* scene) { scene->fileSizeLimit = QString::number(QFileInfo(m_Program).size() / 2); },
         staysOpen, {"Update"}, "Failed to copy", false, 1, nullptr},
        {"release without the updater program",
         [this](StartScene* scene) {
             const QString readme = writeFile(scene->name + "/www/5/updater/readme.txt", "notes\n");
             ASSERT_TRUE(publishProductIni(writeFile(scene->name + "/staging/update_linux_amd64.ini",
                                                     ("[updater]\nreadme.txt=" + digestAndSize(readme) + "\n").toUtf8()),
                                           scene->release));
         },
         2, {"Error"}, "Error shown: \"Failed to start the new updater", false, 1, nullptr},
        {"second start during the second stage", duringSecondStage, 0, {"Error"}, "Another update is running", true,
         0, secondStageGoesOn},
        // The handed-over descriptor is open on a file that it can lock, which holds no session.
        {"second stage handed a descriptor of another file during the second stage of another update",
         [&](StartScene* scene) {
             duringSecondStage(scene);
             scene->arguments = secondStage;
             scene->handedOver = scene->dir + "/user/other.lock";
         },
         0, {"Error"}, "Another update is running", true, 0, secondStageGoesOn},
        {"client folder without a free page", clientOnSmallDisk(0), staysOpen, {"Error"},
         "permissions.\\nNo space left on device", true, 0,
         [&](StartScene* scene) {
             EXPECT_FALSE(QFile::exists(userIniOf(scene))) << "a record that could not be written leaves no file";
             EXPECT_TRUE(startLogged(scene, "UpdateiniData::modify write result AccessError"));
             startWithRoom(scene);
         }},
        // The record takes the page; replacing the client's file finds none.
        {"client folder with one free page", clientOnSmallDisk(1), secondStageStaysOpen, {"Update"},
         "Update ended without success", true, 0,
         [&](StartScene* scene) {
             startWithRoom(scene);
             EXPECT_TRUE(startLogged(scene, "Continuing previous session"));
         }},
        {"client folder with one free page and the user's settings", withUserSettings(clientOnSmallDisk(1)), staysOpen,
         {"Error"}, "permissions.\\nNo space left on device", true, 0, settingsKeptThroughTheFailedStart},
        {"update filling its client folder", updateFillingTheDisk, 0, {}, "The record stays in", true, 0,
         settingsKeptThroughTheFullDisk},
        {"user's settings with a comment", handEditedWith("", "# streams lowered for the slow line at home\n"), 0, {},
         "that Qt could not read are left out", true, 0, handEditedSettingsKept},
        {"user's settings after a byte-order mark", handEditedWith("\xef\xbb\xbf", ""), 0, {},
         "UpdateiniData::modifyTempIni write result NoError", true, 0, handEditedSettingsKept},
        {"user's settings with a line without a value", handEditedWith("", "slow line\n"), 0, {},
         "that Qt could not read are left out", true, 0, handEditedSettingsKept},
        {"read-only client folder",
         [](StartScene* scene) {
             ASSERT_EQ(runCommand("chown root:root '" + scene->client + "' && chmod 755 '" + scene->client + "'"), 0);
         },
         staysOpen, {"Error"}, "Update ended without success", false, 0, nullptr},
        {"client without its launch script",
         [](StartScene* scene) {
             ASSERT_TRUE(QFile::remove(scene->client + "/vl3client_runscript.sh"));
             scene->arguments = secondStage;
         },
         2, {"Error"}, "vl3client_runscript.sh: No such file or directory\"", false, 0, clientUpdated},
        {"launch script that cannot be run",
         [](StartScene* scene) {
             ASSERT_TRUE(QFile::setPermissions(scene->client + "/vl3client_runscript.sh",
                                               QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
             scene->arguments = secondStage;
         },
         2, {"Error"}, "vl3client_runscript.sh: Permission denied\"", false, 0, clientUpdated},
        {"version server down",
         [this](StartScene* scene) { writeFile(scene->name + "/user/config/update.ini", "[Channel]\n"); },
         0, {"Error"}, "Warning\t|\tlibprotobuf ERROR", false, 0,
         [](StartScene* scene) {
             EXPECT_FALSE(readFile(scene->dir + "/output.txt").contains("libprotobuf"))
                 << readFile(scene->dir + "/output.txt").toStdString();
         }},
        {"no display",
         [](StartScene* scene) {
             QFile::remove(scene->tmp + "/vl3_update_log");
             scene->env.remove("DISPLAY");
         },
         128 + SIGABRT, {}, "", false, 0,
         [](StartScene* scene) {
             // The cause, as Qt's warning before its fatal message gives it.
             const QByteArray output = readFile(scene->dir + "/output.txt");
             EXPECT_TRUE(output.contains("could not connect to display")) << output.toStdString();
             EXPECT_TRUE(output.contains("no Qt platform plugin could be initialized")) << output.toStdString();
         }},
    };
    const Served framings[] = {
        {"large files at full speed", 6, 32 << 20, ""},
        {"large files through a proxy at full speed", 6, 32 << 20, "", true},
        {"file in 1-byte chunks", 1, 256 << 10, "chunks=1"},
        {"file in 16-byte chunks", 1, 8 << 20, "chunks=16"},
        {"file in 64-byte chunks", 1, 32 << 20, "chunks=64"},
        {"file in 256-byte chunks", 1, 128 << 20, "chunks=256"},
        {"file passed on by the proxy in 16-byte chunks", 1, 8 << 20, "chunks=16", true},
        // Each attempt's error body comes on a connection kept alive for the next.
        {"files after four 503 replies with 64 KiB bodies", 6, 8 << 20, "only=.bin&fail=4&failstatus=503&failbody=65536"},
        {"files after four 503 replies with 200 KiB bodies", 6, 8 << 20, "only=.bin&fail=4&failstatus=503&failbody=204800"},
        {"files after four 503 replies with 4 MiB bodies", 6, 8 << 20, "only=.bin&fail=4&failstatus=503&failbody=4194304"},
        // Qt parses 16-byte chunks slower than the cut reply comes: it still holds bytes of it when
        // the connection ends, and then finishes the reply without an error.
        {"chunked file cut short once", 1, 8 << 20, "only=.bin&chunks=16&cutonce=2000000"},
        // The bytes of reply heads count as delivered: over one connection these take in more
        // than a connection may without delivering anything.
        {"4,000 empty files with heads of 1.4 KiB over one connection", 4000, 0, "only=.bin&fields=90", false, 1},
    };
    for (const Served& served : framings) {
        starts.push_back({served.name, filesServed(served), 0, {}, "Download finished: \"client/data/file1.bin\"", true,
                          0, filesCameWhole(served)});
    }
    int number = 0;
    for (const auto& row : starts) {
        SCOPED_TRACE(row.name);
        StartScene scene;
        // Short: the instance socket's path in the temporary folder must fit a socket address.
        layOut(&scene, QString("s%1").arg(number++));
        const ProgramReaper stages(scene.tmp + "/");
        const ProgramReaper installed(scene.client + "/update");
        row.prepare(&scene);
        display.clear();

        auto report = [&] {
            return (display.titles.join(" / ") + "\n" + QString::fromLocal8Bit(readFile(scene.dir + "/output.txt"))
                    + updaterLogs(scene.tmp))
                .toStdString();
        };
        QProcess run;
        startAsUser(&scene, &run);
        if (row.exitCode == staysOpen || row.exitCode == secondStageStaysOpen) {
            ASSERT_TRUE(waitUntil([&] {
                display.answerBoxes();
                return display.titles.size() == row.boxes.size()
                    && !updaterLogLine(scene.tmp, "Update ended without success").isEmpty();
            }, 120000)) << report();
            // Long enough for a second try of the start to show its box.
            waitUntil([&] { display.answerBoxes(); return false; }, 3000);
            if (row.exitCode == staysOpen) {
                EXPECT_EQ(run.state(), QProcess::Running);
            } else {
                EXPECT_EQ(run.exitCode(), 0);
                EXPECT_FALSE(processesRunningFrom(scene.tmp + "/").isEmpty());
            }
            killProcessesRunningFrom(scene.client + "/update");
            killProcessesRunningFrom(scene.tmp + "/");
            run.waitForFinished(10000);
        } else {
            ASSERT_TRUE(waitUntil([&] {
                display.answerBoxes();
                return run.state() == QProcess::NotRunning;
            }, 120000)) << report();
            EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(run.exitCode(), row.exitCode) << report();
        }
        EXPECT_EQ(display.titles, row.boxes);
        if (row.then)
            row.then(&scene);

        const QString started = scene.client + "/client_started";
        if (row.clientStarted) {
            EXPECT_TRUE(waitUntil([&] { return QFile::exists(started); }, 120000))
                << "the client was never started\n" << updaterLogs(scene.tmp).toStdString();
        }
        EXPECT_TRUE(waitUntil([&] { return processesRunningFrom(scene.tmp + "/").isEmpty(); }, 30000));
        EXPECT_EQ(readFile(started), row.clientStarted ? "started\n" : "");
        EXPECT_EQ(QDir(scene.tmp).entryList({"voxlane_temp_*"}, QDir::AllEntries).size(), row.sessionsLeft);
        const QDir home(scene.env.value("HOME"));
        EXPECT_TRUE(home.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
            << home.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(' ').toStdString();
        if (!row.logged.isEmpty())
            EXPECT_FALSE(updaterLogLine(scene.tmp, row.logged).isEmpty()) << updaterLogs(scene.tmp).toStdString();
        else
            EXPECT_FALSE(QFile::exists(scene.tmp + "/voxlane_update_log"));
    }
}

// A second start at any moment until the second stage of the first holds the session meets the
// running update: the first stage hands its session to the second as it starts it. The second
// start is refused as another instance or told that an update runs, and ends with 0; the one
// update goes on and starts the client once. The runs side by side have an installation, user
// folders and server each.
TEST_F(UpdateProgramTest, SecondStartDuringTheHandOverFindsTheUpdateRunning)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the user is started as another account, which needs root";
    BoxAnsweringDisplay display(path("display"));
    ASSERT_TRUE(showOn(display)) << "Xvfb did not start";
    const int kStepMs = 500;
    const int kSteps = 16;
    const int kSideBySide = 4;

    struct Run {
        int offsetMs = 0;
        StartScene scene;
        QProcess first;
        QProcess second;
        QElapsedTimer clock;
        qint64 firstEndedMs = -1;
        bool secondStarted = false;
    };
    bool secondCameAfterTheFirstStage = false;
    for (int batch = 0; batch < kSteps; batch += kSideBySide) {
        std::vector<std::unique_ptr<Run>> runs;
        std::vector<std::unique_ptr<ProgramReaper>> reapers;
        for (int step = batch; step < std::min(batch + kSideBySide, kSteps); ++step) {
            runs.push_back(std::make_unique<Run>());
            Run& run = *runs.back();
            run.offsetMs = step * kStepMs;
            layOut(&run.scene, QString("h%1").arg(step));
            // Long enough that every second start has met the second stage before it ends.
            publishPostInstallCommand(&run.scene, "sleep 6\n");
            reapers.push_back(std::make_unique<ProgramReaper>(run.scene.tmp + "/"));
            reapers.push_back(std::make_unique<ProgramReaper>(run.scene.client + "/update"));
        }
        for (const auto& run : runs) {
            startAsUser(&run->scene, &run->first);
            run->clock.start();
        }
        auto report = [&](const Run& run) {
            return (QString("second start at %1 ms, first stage ended at %2 ms\n").arg(run.offsetMs).arg(run.firstEndedMs)
                    + QString::fromLocal8Bit(readFile(run.scene.dir + "/output.txt")) + updaterLogs(run.scene.tmp))
                .toStdString();
        };
        // Each run: the second start at its offset; done when the client has started and the second
        // start has ended.
        const bool ended = waitUntil([&] {
            display.answerBoxes();
            bool all = true;
            for (const auto& run : runs) {
                if (run->firstEndedMs < 0 && run->first.state() == QProcess::NotRunning)
                    run->firstEndedMs = run->clock.elapsed();
                if (!run->secondStarted && run->clock.elapsed() >= run->offsetMs) {
                    secondCameAfterTheFirstStage |= run->firstEndedMs >= 0;
                    startAsUser(&run->scene, &run->second);
                    run->secondStarted = true;
                }
                all = all && run->secondStarted && run->second.state() == QProcess::NotRunning
                    && QFile::exists(run->scene.client + "/client_started");
            }
            return all;
        }, 180000);
        for (const auto& run : runs) {
            SCOPED_TRACE(run->offsetMs);
            EXPECT_TRUE(ended) << report(*run);
            EXPECT_TRUE(waitUntil([&] { return processesRunningFrom(run->scene.tmp + "/").isEmpty(); }, 30000));
            EXPECT_EQ(run->first.exitCode(), 0) << report(*run);
            EXPECT_EQ(run->second.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(run->second.exitCode(), 0) << report(*run);
            EXPECT_EQ(readFile(run->scene.client + "/client_started"), "started\n") << report(*run);
            EXPECT_EQ(readFile(run->scene.client + "/data/new.txt"), "added\n");
            // The first stage and the second of the one update; the second start never began one.
            const QString logs = updaterLogs(run->scene.tmp);
            EXPECT_EQ(logs.count("Update engine initialized"), 2) << report(*run);
            EXPECT_TRUE(logs.contains("Detected other instance running, aborting")
                        || logs.contains("Error shown: \"Another update is running. Please wait until it has finished.\""))
                << report(*run);
            EXPECT_TRUE(QDir(run->scene.tmp).entryList({"voxlane_temp_*"}, QDir::AllEntries).isEmpty());
        }
    }
    EXPECT_TRUE(secondCameAfterTheFirstStage) << "no second start came during the hand-over";
}

// Another account turns the log on with a marker of its own, or lays out the log folder with links
// named like the next log files, pointing at a file of the user's.
TEST_F(UpdateProgramTest, LogMarkerAndFolderOfAnotherAccountAreNotUsed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "acting as another account needs root";
    const QString shared = makeSharedDir("shared");
    m_Env.insert("TMPDIR", shared);
    const QString notes = writeFile("private/notes", "the user's own notes\n");
    const QString links = "import os, time\n"
                          "os.mkdir('%1/voxlane_update_log', 0o777)\n"
                          "os.chmod('%1/voxlane_update_log', 0o777)\n"
                          "now = int(time.time())\n"
                          "for t in range(now - 5, now + 300):\n"
                          "    name = time.strftime('update__%Y-%m-%d__%H_%M_%S.log', time.localtime(t))\n"
                          "    os.symlink('%2', '%1/voxlane_update_log/' + name)\n"
                          "open('%1/vl3_update_log', 'w').close()\n";
    serveNoRelease();

    auto runUntilSessionRecorded = [&] {
        QProcess run;
        start(&run, {});
        EXPECT_TRUE(waitUntil([&] { return sessionRecorded(); }, 30000)) << "the update never started";
        run.kill();
        run.waitForFinished(10000);
        QFile::remove(path("app/update.ini"));
    };
    // The other account's marker alone.
    ASSERT_EQ(runCommand("touch '" + shared + "/vl3_update_log'", true), 0);
    runUntilSessionRecorded();
    EXPECT_FALSE(QFileInfo::exists(shared + "/voxlane_update_log")) << "the log was switched on";
    // The other account's marker, with its folder.
    ASSERT_EQ(runCommand("python3 -c \"" + QString(links).arg(shared, notes) + "\"", true), 0);
    runUntilSessionRecorded();
    // The user's own marker, in the other account's folder.
    ASSERT_EQ(runCommand("rm '" + shared + "/vl3_update_log'", true), 0);
    writeFile("shared/vl3_update_log");
    runUntilSessionRecorded();

    EXPECT_EQ(readFile(notes), "the user's own notes\n");
    EXPECT_TRUE(QDir(shared + "/voxlane_update_log").entryList(QDir::Files | QDir::NoSymLinks).isEmpty());
}

// A failed second stage leaves its session for the next start, which continues it in the same
// temporary directory instead of leaving one more behind.
TEST_F(UpdateProgramTest, StartAfterAFailedSecondStageContinuesItsSession)
{
    writeFile("tmp/vl3_update_log");
    m_Server = std::make_unique<TestHttpServer>(makeDir("www"));
    ASSERT_TRUE(m_Server->isRunning());
    writeFile("config/update.ini", ("[Channel]\nalpha=" + m_Server->baseUrl() + "\nalphaRevno=5\n").toUtf8());
    const QString release = makeDir("www/5");
    // The installed client with its launch script; this release's updater is the installed one.
    const QString client = path("app");
    writeFile("app/vl3client_runscript.sh", "#!/bin/sh\ntouch client_started\n");
    QFile::setPermissions(client + "/vl3client_runscript.sh", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(publishProductIni(
        writeFile("release/update_linux_amd64.ini", ("[updater]\nupdate=" + digestAndSize(m_Program) + "\n").toUtf8()),
        release));
    const QString added = writeFile("www/5/client/data/new.txt", "added\n");
    const QByteArray clientIni = ("[client]\ndata/new.txt=" + digestAndSize(added) + "\n").toUtf8();
    ASSERT_TRUE(publishProductIni(writeFile("release/vl3_client_linux_amd64.ini", clientIni), release));
    // First the client's product ini fails its check: the signature of another text.
    const QString other = writeFile("release/other.ini", clientIni + "[delete]\ndata=2\n");
    ASSERT_TRUE(opensslSign(developmentPrivateKeyPath(), other, release + "/vl3_client_linux_amd64.ini.sig"));

    // The second stage runs detached from the first; whatever becomes of the test, it must not
    // outlive it.
    const QString session = path("tmp/voxlane_temp_0");
    const ProgramReaper secondStageReaper(session + "/update");
    QProcess firstStage;
    start(&firstStage, {});
    ASSERT_TRUE(firstStage.waitForFinished(60000));
    EXPECT_EQ(firstStage.exitCode(), 0);
    ASSERT_TRUE(
        waitUntil([&] { return !updaterLogLine(path("tmp"), "Failed to verify product ini").isEmpty(); }, 60000))
        << "the second stage never failed";
    // Once it has thrown away what it could not verify, the failed second stage waits in its
    // box for the user, who closes it.
    ASSERT_TRUE(waitUntil([&] { return !QFile::exists(session + "/vl3_client_linux_amd64.ini.sig"); }, 10000));
    const pid_t secondStage = processRunning(session + "/update");
    ASSERT_NE(secondStage, 0);
    ::kill(secondStage, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return processRunning(session + "/update") == 0; }, 10000));
    EXPECT_FALSE(QFile::exists(client + "/data/new.txt"));

    // The release is mended; the user starts the update again.
    ASSERT_TRUE(publishProductIni(writeFile("release/vl3_client_linux_amd64.ini", clientIni), release));
    QProcess again;
    start(&again, {});
    ASSERT_TRUE(again.waitForFinished(60000));
    EXPECT_EQ(again.exitCode(), 0);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(client + "/client_started"); }, 120000))
        << "the second stage never started the client\n" << updaterLogs(path("tmp")).toStdString();
    EXPECT_EQ(readFile(client + "/data/new.txt"), "added\n");
    ASSERT_TRUE(waitUntil([&] { return processRunning(session + "/update") == 0; }, 10000));
    EXPECT_TRUE(tmpEntries("voxlane_temp_").isEmpty()) << tmpEntries("voxlane_temp_").join(' ').toStdString();
    EXPECT_FALSE(QFile::exists(client + "/update.ini")) << "the finished session leaves no record";
}

// A file of the new updater that its packed download or its patch builds otherwise than the
// product ini describes fails the first stage, and does not stay in the session folder: it may be
// as large as the product ini allows.
TEST_F(UpdateProgramTest, BuiltFileFailingItsDigestDoesNotStayInTheSession)
{
    m_Server = std::make_unique<TestHttpServer>(makeDir("www"));
    ASSERT_TRUE(m_Server->isRunning());
    const QByteArray installed = "table 1.0\n";
    // Of the size described, so that only the digest tells it apart.
    const QByteArray built = "table 2.X\n";
    const QString table = writeFile("app/data/table.bin", installed);
    const QString described = writeFile("release/table.bin", "table 2.0\n");
    const QString wrong = writeFile("release/wrong.bin", built);
    const struct {
        const char* what;
        int version;
        bool patched;
    } releases[] = {{"packed", 6, false}, {"patched", 7, true}};
    for (const auto& r : releases) {
        SCOPED_TRACE(r.what);
        const QString tmp = makeDir(QString("tmp_") + r.what);
        writeFile(QString("tmp_%1/vl3_update_log").arg(r.what));
        m_Env.insert("TMPDIR", tmp);
        writeFile("config/update.ini",
                  QString("[Channel]\nalpha=%1\nalphaRevno=%2\n").arg(m_Server->baseUrl()).arg(r.version).toUtf8());
        const QString release = makeDir(QString("www/%1").arg(r.version));
        const QString packed = release + "/updater/table.bin._lzma2_";
        ASSERT_TRUE(packFile(r.patched ? described : wrong, packed));
        QString ini = "[updater]\nupdate=" + digestAndSize(m_Program) + "\ntable.bin._lzma2_=" + digestAndSize(packed)
            + "::" + digestAndSize(described) + "::data/table.bin\n";
        if (r.patched) {
            const ByteVector patch = packEnsemblePatch(makeEnsemblePatchParts(
                ByteVector(installed.begin(), installed.end()), ByteVector(built.begin(), built.end()), {}));
            const QString patchFile =
                writeFile(QString("www/%1/updater/table.bin_patch_").arg(r.version),
                          QByteArray(reinterpret_cast<const char*>(patch.data()), int(patch.size())));
            ini += "table.bin_patch_=" + digestAndSize(patchFile) + "::" + digestAndSize(table) + "::data/table.bin\n";
        }
        ASSERT_TRUE(publishProductIni(writeFile("release/update_linux_amd64.ini", ini.toUtf8()), release));

        QProcess stage;
        start(&stage, {});
        // Logged once every built file has ended, before the stage shows its failure.
        EXPECT_TRUE(waitUntil([&] { return !updaterLogLine(tmp, "chmod +x").isEmpty(); }, 60000))
            << updaterLogs(tmp).toStdString();
        EXPECT_FALSE(updaterLogLine(tmp, "Signature check failed for").isEmpty());
        EXPECT_FALSE(QFileInfo::exists(tmp + "/voxlane_temp_0/data/table.bin"));
        EXPECT_EQ(readFile(table), installed);
        stage.kill();
        stage.waitForFinished(10000);
        QFile::remove(path("app/update.ini"));
    }
}

// Servers that answer as no real one does, met by a whole update: each fails the update, shows
// the user why, and leaves neither the program's memory nor the temporary folder much fuller. A
// reply head without end, or far beyond any real server's, is given up as a failed attempt, and
// its connection is closed with it. The version server of a row lives with the program in a
// network namespace of their own, on the build's default address, so that the program finds it as
// it finds the real one; so does a file server at https's own port. The rows run side by side,
// each with a program, folders and display of its own: a download fails only after five
// attempts, and Qt sends each request of a head without end up to three times.
TEST_F(UpdateProgramTest, HostileRepliesFailWithinTheirBounds)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a network namespace for the version server needs root";
    const int staysOpen = -1;
    const double kPeakMiB = 200;
    const qint64 kClosedWithinMs = 5000;
    const QByteArray junkDigest = QCryptographicHash::hash("the real file", QCryptographicHash::Sha512).toHex();
    // 30 KB of container whose encoded program announces 75 million addresses with their
    // relocation table: gigabytes, were it decoded.
    auto publishCrafted = [&](const QString& target) {
        ASSERT_EQ(runCommand(QString("python3 '%1'/craftedprogram.py --addresses 75000000 '%2'")
                                 .arg(VL_TEST_SUPPORT_DIR, target)),
                  0);
    };
    auto publishUpdaterIni = [&](const QString& versionFolder, const QString& more) {
        ASSERT_TRUE(publishProductIni(
            writeFile("hostile-release/update_linux_amd64.ini",
                      ("[updater]\nupdate=" + digestAndSize(m_Program) + "\n" + more).toUtf8()),
            versionFolder));
    };
    struct Row {
        const char* name;
        // Query parameters of the hostile replies; "only=NAME" keeps them to one file.
        QString misbehaviour;
        // The hostile server is the version server; otherwise the channel file names it as file server.
        bool versionServer;
        // Publishes what the version folder of the release holds besides the updater's product ini
        // (the files that ini lists given too); may be null.
        std::function<void(const QString& versionFolder)> release;
        // 1: the installed updater meets the hostile reply; 2: the one that the first stage built.
        int stage;
        // The hostile request as the server logs it. The program's growth counts from there, once
        // its window shows: the replies are held back long enough for the window to come up.
        QByteArray request;
        int exitCode;
        QStringList boxes;
        QByteArray logged;
        double growthMiB;
        // The largest file that may stay in the temporary folder, besides the updater's copies.
        qint64 leftBytes;
        // Logged as the first attempt is given up; the server must then see its connection closed
        // at once, and every connection closed by the end. Empty for replies that end.
        QByteArray givenUp;
        // The hostile server answers as the HTTP proxy of the program's update.ini; the file
        // server that the channel names is never reached.
        bool throughProxy = false;
        // Files beside the hostile one, asked for once each: their connections were not shut
        // down with the hostile one's.
        QStringList requestedOnce = {};
        // The hostile server is the file server, at https's own port in the program's network
        // namespace, whose certificate folder holds the test's CA alone.
        bool httpsOn443 = false;
        // Traffic that hides the hostile reply's bytes: the reply is given up before the last log
        // line that holds this.
        QByteArray hiddenBy = {};
    };
    const QByteArray versionGivenUp = "Version reply refused: no head or body byte reached it";
    const QByteArray iniGivenUp = "Attempt failed:";
    std::vector<Row> rows = {
        {"endless chunked version reply", "endless=1&chunked=1&delay=5000", true, nullptr, 1, "GET /vl3-client-2", 0,
         {"Error"}, "on_updateAvailable QHash()", 64, 1 << 20, ""},
        {"size-less listed file served 1 GiB of junk", "only=big.bin&junk=1024&delay=5000", false,
         [&](const QString& versionFolder) { publishUpdaterIni(versionFolder, "big.bin=" + junkDigest + "::\n"); }, 1,
         "/5/updater/big.bin", staysOpen, {"Update"}, "Update ended without success", 64, 1 << 20, ""},
        {"packed updater ini in the executable form", "delay=5000", false,
         [&](const QString& versionFolder) { publishCrafted(versionFolder + "/update_linux_amd64.ini._lzma2_"); }, 1,
         "/5/update_linux_amd64.ini._lzma2_", staysOpen, {"Update"},
         "update_linux_amd64.ini._lzma2_ is packed as an executable, which this file cannot be", 64, 1 << 20, ""},
        {"packed client ini in the executable form", "only=vl3_client_linux_amd64.ini._lzma2_&delay=5000", false,
         [&](const QString& versionFolder) {
             publishUpdaterIni(versionFolder, "");
             publishCrafted(versionFolder + "/vl3_client_linux_amd64.ini._lzma2_");
         },
         2, "/5/vl3_client_linux_amd64.ini._lzma2_", staysOpen, {"Update"},
         "vl3_client_linux_amd64.ini._lzma2_ is packed as an executable, which this file cannot be", 64, 1 << 20, ""},
        // Heads far beyond any server's, sent at once before a good body: in fields, and in bytes.
        {"version reply head of 1,000 fields", "fields=1000&delay=5000", true, nullptr, 1, "GET /vl3-client-2", 0,
         {"Error"}, "Version reply refused: \"reply head of 10", 64, 1 << 20, ""},
        {"version reply head of 200,000 fields", "fields=200000&delay=5000", true, nullptr, 1, "GET /vl3-client-2", 0,
         {"Error"}, "Version reply refused:", 64, 1 << 20, ""},
        {"updater ini head of 1,000 fields", "fields=1000&delay=5000", false,
         [&](const QString& versionFolder) { publishUpdaterIni(versionFolder, ""); }, 1,
         "/5/update_linux_amd64.ini._lzma2_", staysOpen, {"Update"},
         "update_linux_amd64.ini._lzma2_ came with a reply head of 10", 64, 1 << 20, ""},
        {"updater ini head of 200,000 fields", "fields=200000&delay=5000", false,
         [&](const QString& versionFolder) { publishUpdaterIni(versionFolder, ""); }, 1,
         "/5/update_linux_amd64.ini._lzma2_", staysOpen, {"Update"}, "Update ended without success", 64, 1 << 20, ""},
    };
    // Heads without end: sent as fast as the program reads, or slowly.
    for (const QString head : {"status", "line", "fields", "chunksize", "status&pace=100"}) {
        // A head that trickles in too slowly to outgrow a healthy one is given up after as many
        // polls as a download may stay silent.
        const bool trickle = head.contains("pace");
        rows.push_back({"version reply head without end", "endlesshead=" + head + "&delay=5000", true, nullptr, 1,
                        "GET /vl3-client-2", 0, {"Error"}, "on_updateAvailable QHash()", kPeakMiB, 1 << 20,
                        trickle ? versionGivenUp + " in 16 polls" : versionGivenUp});
        rows.push_back({"updater ini head without end", "endlesshead=" + head + "&delay=5000", false, nullptr, 1,
                        "/5/update_linux_amd64.ini._lzma2_", staysOpen, {"Update"}, "Update ended without success",
                        kPeakMiB, 1 << 20, iniGivenUp});
    }
    // Qt reads a connection to a proxy in blocks rather than byte by byte: its network thread is
    // not caught, and the head grows as fast as it comes.
    for (const char* head : {"status", "line", "fields", "chunksize"}) {
        rows.push_back({"updater ini head without end through a proxy", QString("endlesshead=") + head + "&delay=5000",
                        false, nullptr, 1, "/5/update_linux_amd64.ini._lzma2_", staysOpen, {"Update"},
                        "Update ended without success", kPeakMiB, 1 << 20, iniGivenUp, true});
    }
    // Qt takes in the body of a proxy's 407 before it gives the reply up.
    rows.push_back({"updater ini 407 with a body without end through a proxy", "proxyauth=endless&delay=5000", false,
                    nullptr, 1, "/5/update_linux_amd64.ini._lzma2_", staysOpen, {"Update"},
                    "Update ended without success", kPeakMiB, 1 << 20, iniGivenUp, true});
    // Beside five downloads that take their bytes faster than the head grows, none of which
    // shows a lack of progress; they come whole, and stay in the session for the next start.
    // All held back until the window shows, as the other rows' replies are.
    rows.push_back({"listed file head without end beside five large ones through a proxy",
                    "only=flood.bin&endlesshead=status&delay=5000", false,
                    [&](const QString& versionFolder) {
                        QString lines = "flood.bin=" + junkDigest + "::1000\n";
                        for (int n = 1; n <= 5; ++n) {
                            const QString large = QString("%1/updater/large%2.bin").arg(versionFolder).arg(n);
                            ASSERT_TRUE(QDir().mkpath(QFileInfo(large).path()));
                            ASSERT_EQ(runCommand("truncate -s 64M '" + large + "'"), 0);
                            lines += QString("_do:delay%3D5000/large%1.bin=%2\n").arg(n).arg(digestAndSize(large));
                        }
                        publishUpdaterIni(versionFolder, lines);
                    },
                    1, "/5/updater/flood.bin", staysOpen, {"Update"}, "Update ended without success", kPeakMiB, 64 << 20,
                    iniGivenUp, true, {"large1.bin", "large2.bin", "large3.bin", "large4.bin", "large5.bin"}});
    // In bursts, each far below what a healthy connection may take in, with pauses in between
    // that outlast a probe, beside a download that delivers slowly all the while.
    rows.push_back({"listed file head in bursts beside a slow one through a proxy", "", false,
                    [&](const QString& versionFolder) {
                        const QString slow = versionFolder + "/updater/slow.bin";
                        ASSERT_TRUE(QDir().mkpath(QFileInfo(slow).path()));
                        ASSERT_EQ(runCommand("head -c 33554432 /dev/urandom > '" + slow + "'"), 0);
                        publishUpdaterIni(versionFolder,
                                          "_do:endlesshead%3Dline&pace%3D400&piece%3D2097152/flood.bin=" + junkDigest
                                              + "::1000\n_do:drip%3D20&chunk%3D65536/slow.bin=" + digestAndSize(slow)
                                              + "\n");
                    },
                    1, "flood.bin", staysOpen, {"Update"}, "Update ended without success", kPeakMiB, 64 << 20,
                    "Shut down", true, {}, false, "Download finished: \"updater/_do:drip"});
    // Beside small files that each come on a connection of its own, which lives for less than a
    // poll of the watch: what they deliver is never seen taken in. Every reply closes its
    // connection; the flood's own misbehaviour comes in a folder of its name, as the server reads
    // one from any path segment (%3D: an ini key holds no "=").
    rows.push_back({"listed file head without end beside 600 small ones on a connection each through a proxy",
                    "close=1", false,
                    [&](const QString& versionFolder) {
                        QString lines = "_do:endlesshead%3Dstatus&pace%3D5&piece%3D65536/flood.bin=" + junkDigest
                            + "::1000\n";
                        const QString small = versionFolder + "/updater/small/0.bin";
                        ASSERT_TRUE(QDir().mkpath(QFileInfo(small).path()));
                        ASSERT_EQ(runCommand("head -c 65536 /dev/urandom > '" + small + "'"), 0);
                        const QString digest = digestAndSize(small);
                        for (int n = 1; n <= 600; ++n) {
                            ASSERT_TRUE(QFile::copy(small, QString("%1/updater/small/%2.bin").arg(versionFolder).arg(n)));
                            lines += QString("small/%1.bin=%2\n").arg(n).arg(digest);
                        }
                        publishUpdaterIni(versionFolder, lines);
                    },
                    1, "flood.bin", staysOpen, {"Update"}, "Update ended without success", kPeakMiB, 4 << 20,
                    "Shut down", true, {}, false, "Download finished: \"updater/small/"});
    // Over TLS Qt reads a head in blocks; the watch looks at the scheme's port, which the channel
    // does not name.
    rows.push_back({"updater ini head without end over https", "endlesshead=status&delay=5000", false, nullptr, 1,
                    "/5/update_linux_amd64.ini._lzma2_", staysOpen, {"Update"}, "Update ended without success", kPeakMiB,
                    1 << 20, iniGivenUp, false, {}, true});

    struct Run {
        const Row* row = nullptr;
        QString name, base, tmp, program, requests;
        std::unique_ptr<BoxAnsweringDisplay> display;
        std::unique_ptr<TestHttpServer> fileServer, unreached;
        std::unique_ptr<ProgramReaper> installed, stages;
        QProcess process;
        pid_t stage = 0;
        std::unique_ptr<PeakMemoryGrowth> growth;
        // Read as the failure is logged, before any box is answered: the answer may end the program.
        double grown = -1;
        double peak = -1;
        QElapsedTimer clock;
        qint64 givenUpMs = -1;
        qint64 closedMs = -1;
        bool done = false;
    };
    const int versionServerPort = QUrl("http://" VL_VERSION_SERVER_HOST "/").port();
    std::vector<std::unique_ptr<Run>> runs;
    for (const Row& row : rows) {
        runs.push_back(std::make_unique<Run>());
        Run& run = *runs.back();
        run.row = &row;
        run.name = QString("hostile%1").arg(runs.size());
        run.base = makeDir(run.name);
        run.tmp = makeDir(run.name + "/tmp");
        writeFile(run.name + "/tmp/vl3_update_log");
        run.program = makeDir(run.name + "/app") + "/update";
        ASSERT_TRUE(QFile::copy(m_Program, run.program));
        ASSERT_TRUE(QFile::setPermissions(run.program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        run.installed = std::make_unique<ProgramReaper>(run.program);
        run.stages = std::make_unique<ProgramReaper>(run.tmp + "/");
        run.display = std::make_unique<BoxAnsweringDisplay>(run.base + "/display");
        ASSERT_FALSE(run.display->name().isEmpty()) << "Xvfb did not start";
        QProcessEnvironment env = m_Env;
        env.insert("TMPDIR", run.tmp);
        env.insert("XDG_RUNTIME_DIR", makeDir(run.name + "/run"));
        QFile::setPermissions(run.base + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("VL3_CONFIG_DIR", makeDir(run.name + "/config"));
        env.insert("DISPLAY", run.display->name());
        env.insert("QT_QPA_PLATFORM", "xcb");
        // libxkbcommon hands unterminated buffers to strndup, which a strict string check rejects,
        // and the X libraries keep allocations until exit. Freed memory is held back only a little:
        // the sanitizer's own hoard of it is no growth of the program's.
        env.insert("ASAN_OPTIONS", "detect_leaks=0:quarantine_size_mb=1");
        const QString www = makeDir(run.name + "/www");
        run.requests = run.base + "/requests.log";
        if (row.release)
            row.release(makeDir(run.name + "/www/5"));
        run.process.setProcessEnvironment(env);
        run.process.setProcessChannelMode(QProcess::ForwardedChannels);
        if (row.versionServer || row.httpsOn443) {
            QString tls;
            if (row.versionServer) {
                writeFile(run.name + "/config/update.ini", "[Channel]\n");
                writeFile(run.name + "/www/vl3-client-2", "");
            } else {
                tls = run.base + "/tls";
                ASSERT_EQ(runCommand(QString("'%1/maketlscert.sh' '%2'").arg(VL_TEST_SUPPORT_DIR, tls)), 0);
                writeFile(run.name + "/config/update.ini",
                          ("[Channel]\nalpha=https://127.0.0.1/_do:" + row.misbehaviour + "/\nalphaRevno=5\n").toUtf8());
            }
            // The server goes with the program: it ends when its parent does.
            const QString script = "ip link set lo up || exit 97\n"
                                   "tls=\n"
                                   "if [ -n \"$7\" ]; then\n"
                                   "  mount -t tmpfs tmpfs /etc/ssl/certs && cp \"$7/ca.pem\" /etc/ssl/certs/ &&"
                                   " openssl rehash /etc/ssl/certs >/dev/null || exit 96\n"
                                   "  tls=\"--tls-cert $7/server.pem --tls-key $7/server.key\"\n"
                                   "fi\n"
                                   "python3 \"$1\" --root \"$2\" --port \"$3\" --query \"$4\" --log \"$5\" "
                                   "--port-file \"$6\" --lifetime 600 $tls >/dev/null &\n"
                                   "i=0; until [ -s \"$6\" ]; do i=$((i+1)); [ $i -gt 600 ] && exit 98; sleep 0.05; done\n"
                                   "exec \"$0\"\n";
            run.process.start("unshare",
                              {"--net", "--mount", "sh", "-c", script, run.program, VL_TEST_SUPPORT_DIR "/httpserver.py",
                               www, QString::number(row.versionServer ? versionServerPort : 443),
                               row.versionServer ? row.misbehaviour : QString(), run.requests, run.base + "/port", tls});
        } else {
            run.fileServer = std::make_unique<TestHttpServer>(www, 600, run.requests);
            ASSERT_TRUE(run.fileServer->isRunning());
            QString base = run.fileServer->baseUrl();
            if (row.throughProxy) {
                run.unreached = std::make_unique<TestHttpServer>(makeDir(run.name + "/unreached"), 600,
                                                                 run.base + "/unreached.log");
                ASSERT_TRUE(run.unreached->isRunning());
                base = run.unreached->baseUrl();
                writeFile(run.name + "/app/update.ini",
                          QString("[update]\nproxy=127.0.0.1:%1\n").arg(run.fileServer->port()).toUtf8());
            }
            writeFile(run.name + "/config/update.ini",
                      ("[Channel]\nalpha=" + base + "_do:" + row.misbehaviour + "/\nalphaRevno=5\n").toUtf8());
            run.process.start(run.program, QStringList());
        }
        run.clock.start();
    }
    auto report = [](const Run& run) {
        return (run.row->misbehaviour + "\n" + run.display->titles.join(" / ") + "\n"
                + QString::fromLocal8Bit(readFile(run.requests)) + updaterLogs(run.tmp))
            .toStdString();
    };
    // One step of a run: its stage once the hostile request has come and its window shows, what
    // that stage has grown by and when it gave up and the server saw the end, the boxes it opens.
    auto step = [](Run& run) {
        const Row& row = *run.row;
        if (!run.growth) {
            if (!readFile(run.requests).contains(row.request))
                return;
            run.stage = row.stage == 1 ? processRunning(run.program) : processesRunningFrom(run.tmp + "/").value(0, 0);
            if (run.stage != 0 && run.display->shows("Voxlane 3 Client Update"))
                run.growth = std::make_unique<PeakMemoryGrowth>(run.stage);
            return;
        }
        if (run.grown < 0 && !updaterLogLine(run.tmp, row.logged).isEmpty()) {
            run.grown = run.growth->mebibytes();
            run.peak = processStatusKiB("VmHWM", run.stage) / 1024;
        }
        if (!row.givenUp.isEmpty()) {
            if (run.givenUpMs < 0 && !updaterLogLine(run.tmp, row.givenUp).isEmpty())
                run.givenUpMs = run.clock.elapsed();
            if (run.closedMs < 0 && readFile(run.requests).contains("\nCLOSED "))
                run.closedMs = run.clock.elapsed();
        }
        // The answer may end the program, and the server with it.
        if (run.grown < 0 || (!row.givenUp.isEmpty() && run.closedMs < 0))
            return;
        run.display->answerBoxes();
        run.done = run.display->titles.size() == row.boxes.size()
            && (row.exitCode == staysOpen || run.process.state() == QProcess::NotRunning);
    };
    waitUntil([&] {
        bool all = true;
        for (const auto& run : runs) {
            if (!run->done)
                step(*run);
            all = all && run->done;
        }
        return all;
    }, 400000);

    for (const auto& run : runs) {
        const Row& row = *run->row;
        SCOPED_TRACE((row.name + (" (" + row.misbehaviour + ")")).toStdString());
        EXPECT_TRUE(run->done) << report(*run);
        EXPECT_GE(run->grown, 0) << "the program ended before its memory was read";
        EXPECT_LT(run->grown, row.growthMiB);
        EXPECT_LT(run->peak, kPeakMiB);
        if (!row.givenUp.isEmpty()) {
            EXPECT_GE(run->givenUpMs, 0) << report(*run);
            EXPECT_GE(run->closedMs, 0) << report(*run);
            EXPECT_LT(run->closedMs - run->givenUpMs, kClosedWithinMs) << report(*run);
            // No hostile reply is read any more: the server saw each one's connection closed.
            EXPECT_TRUE(waitUntil([&] {
                int hostile = 0;
                int closed = 0;
                for (const QByteArray& line : readFile(run->requests).split('\n')) {
                    hostile += line.startsWith("GET ") && line.contains(row.request);
                    closed += line.startsWith("CLOSED ");
                }
                return closed == hostile;
            }, kClosedWithinMs)) << report(*run);
        }
        if (row.throughProxy) {
            EXPECT_EQ(readFile(run->base + "/unreached.log"), "") << "a request passed the proxy by";
        }
        if (!row.hiddenBy.isEmpty()) {
            const QString logs = updaterLogs(run->tmp);
            const int givenUp = logs.indexOf(row.givenUp);
            EXPECT_TRUE(givenUp >= 0 && givenUp < logs.lastIndexOf(row.hiddenBy))
                << "given up only once the traffic that hid it had ended\n" << report(*run);
        }
        for (const QString& file : row.requestedOnce) {
            EXPECT_EQ(readFile(run->requests).count(("/" + file + " ").toUtf8()), 1) << file.toStdString() << "\n"
                                                                                       << report(*run);
        }
        // The query is given up, not sent again.
        if (row.versionServer) {
            EXPECT_EQ(readFile(run->requests).count("GET "), 1) << report(*run);
        }
        if (row.exitCode == staysOpen) {
            EXPECT_EQ(::kill(run->stage, 0), 0) << "the window did not stay open";
            killProcessesRunningFrom(run->program);
            killProcessesRunningFrom(run->tmp + "/");
            run->process.waitForFinished(10000);
        } else {
            EXPECT_EQ(run->process.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(run->process.exitCode(), row.exitCode) << report(*run);
        }
        EXPECT_EQ(run->display->titles, row.boxes);
        EXPECT_TRUE(waitUntil([&] { return processesRunningFrom(run->tmp + "/").isEmpty(); }, 30000));
        EXPECT_EQ(filesLargerThan(run->tmp, row.leftBytes), QStringList());
    }
}

} // namespace
