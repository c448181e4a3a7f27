// The updater as a real process: a second start hands "#" to the running one and ends with 0,
// a rejected command line shows its error and ends with 1, the marker file turns on the log, and
// each start clears the leftovers of earlier updates.
#include "qtwait.h"
#include "tempdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {

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
        m_Env.insert("VL3_CONFIG_DIR", makeDir("config"));
        m_Env.insert("QT_QPA_PLATFORM", "offscreen");
        // In a sanitizer build: what Qt's platform plugins and the libraries below them keep
        // until the process exits is no leak of the updater's.
        const QString suppressions = writeFile("lsan.supp", "leak:libqoffscreen.so\n"
                                                            "leak:QScreen::QScreen\n"
                                                            "leak:QGuiApplicationPrivate::createPlatformIntegration\n"
                                                            "leak:libdbus-1.so\n"
                                                            "leak:libfontconfig.so\n"
                                                            "leak:libxcb\n"
                                                            "leak:libX11.so\n");
        m_Env.insert("LSAN_OPTIONS", "suppressions=" + suppressions);
    }

    void start(QProcess* process, const QStringList& arguments)
    {
        process->setProcessEnvironment(m_Env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(m_Program, arguments);
    }

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
};

TEST_F(UpdateProgramTest, SecondInstanceKnocksAndEndsWithZero)
{
    // Without a version the first instance asks the version server, which does not answer here,
    // and then waits in its error box: alive long enough for the second start.
    QProcess first;
    start(&first, {"--nouser"});
    ASSERT_TRUE(waitUntil(
        [&] { return !QDir(path("tmp")).entryList({"VL3ClientUpdate*"}, QDir::System).isEmpty(); }, 30000))
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
        QProcess process;
        start(&process, {"--nouser"});
        // The window's single-instance server listens once the leftovers are gone.
        EXPECT_TRUE(waitUntil(
            [&] { return !QDir(path(QString("tmp%1").arg(run))).entryList({"VL3ClientUpdate*"}, QDir::System).isEmpty(); },
            30000))
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
    const QString script =
        "\"$0\" client_linux_amd64 12x & pid=$!\n"
        "for i in $(seq 300); do\n"
        "  w=$(xdotool search --name '^Error$' 2>/dev/null | head -n1)\n"
        "  [ -n \"$w\" ] && break; sleep 0.1\n"
        "done\n"
        "[ -n \"$w\" ] || { kill $pid; exit 99; }\n"
        "xdotool windowfocus --sync \"$w\" key Return\n"
        "wait $pid\n";
    QProcess run;
    m_Env.remove("QT_QPA_PLATFORM");
    // libxkbcommon hands unterminated buffers to strndup, which a strict string check rejects.
    m_Env.insert("ASAN_OPTIONS", "detect_leaks=1");
    run.setProcessEnvironment(m_Env);
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    run.start("xvfb-run", {"-a", "-s", "-screen 0 1024x768x24", "sh", "-c", script, m_Program});
    ASSERT_TRUE(run.waitForFinished(60000));
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

} // namespace
