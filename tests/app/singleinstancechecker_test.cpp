#include "singleinstancechecker.h"

#include "privatecopy.h"
#include "privileges.h"
#include "qtwait.h"
#include "tempdir.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The socket name depends on the executable's path, so each test runs in its own copy and
// cannot meet a checker of a test running beside it. Without a runtime folder of the session,
// socket files go to the updater's own folder in the temporary folder, here the test's directory.
class SingleInstanceTest : public TempDirTest {
protected:
    bool inCopy()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", path());
        env.insert("HOME", path());
        env.remove("XDG_RUNTIME_DIR");
        return runInPrivateCopy(path("bin"), {}, env);
    }

    static QString socketFile() { return SingleInstanceChecker::serverPath(); }
};

} // namespace

TEST_F(SingleInstanceTest, SecondStartFindsTheFirstAndDeliversItsMessage)
{
    if (!inCopy())
        return;
    EXPECT_FALSE(SingleInstanceChecker::isOtherInstanceRunning("#")) << "nobody listens yet";

    SingleInstanceChecker checker(nullptr);
    QSignalSpy activate(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(SingleInstanceChecker::isOtherInstanceRunning("#"));
    ASSERT_TRUE(waitUntil([&] { return activate.count() == 1; }));
    EXPECT_EQ(activate.first().first().toString(), "#");

    // A later start is still answered.
    EXPECT_TRUE(SingleInstanceChecker::isOtherInstanceRunning("again"));
    ASSERT_TRUE(waitUntil([&] { return activate.count() == 2; }));
    EXPECT_EQ(activate.at(1).first().toString(), "again");
}

TEST_F(SingleInstanceTest, MessageEndsAtTheFirstNul)
{
    if (!inCopy())
        return;
    SingleInstanceChecker checker(nullptr);
    QSignalSpy activate(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket socket;
    socket.connectToServer(socketFile());
    ASSERT_TRUE(socket.waitForConnected(1000));
    socket.write(QByteArray("ab\0cd", 5));
    ASSERT_TRUE(socket.waitForBytesWritten(1000));
    ASSERT_TRUE(waitUntil([&] { return activate.count() == 1; }));
    EXPECT_EQ(activate.first().first().toString(), "ab");
}

TEST_F(SingleInstanceTest, StaleSocketOfACrashedInstanceIsReplaced)
{
    if (!inCopy())
        return;
    // A socket file bound by a process that ended without removing it, as after a crash.
    const QString file = socketFile();
    const QString script = QString("import socket; s = socket.socket(socket.AF_UNIX); s.bind('%1')").arg(file);
    ASSERT_EQ(runCommand("python3 -c \"" + script + "\""), 0);
    ASSERT_TRUE(QFile::exists(file));
    QLocalServer plain;
    ASSERT_FALSE(plain.listen(file)) << "the stale name must block a plain listen";

    SingleInstanceChecker checker(nullptr);
    QSignalSpy activate(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(SingleInstanceChecker::isOtherInstanceRunning("#"));
    ASSERT_TRUE(waitUntil([&] { return activate.count() == 1; }));
}

TEST_F(SingleInstanceTest, LiveInstanceKeepsItsName)
{
    if (!inCopy())
        return;
    SingleInstanceChecker first(nullptr);
    QSignalSpy firstActivate(&first, &SingleInstanceChecker::otherInstanceActivate);
    SingleInstanceChecker second(nullptr);
    EXPECT_TRUE(SingleInstanceChecker::isOtherInstanceRunning("#"));
    ASSERT_TRUE(waitUntil([&] { return firstActivate.count() == 1; }));
}

TEST_F(SingleInstanceTest, SocketOfAnotherUserIsNoInstance)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "making a socket of another user needs root";
    // A folder that the other user can write to, as the shared temporary folder is.
    const QString shared = makeDir("shared");
    ::chmod(QFile::encodeName(path()).constData(), 0755);
    ::chmod(QFile::encodeName(shared).constData(), 0777);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", shared);
    env.insert("HOME", path());
    env.remove("XDG_RUNTIME_DIR");
    if (!runInPrivateCopy(path("bin"), {}, env))
        return;

    // The other user listens under this instance's name in the shared folder and accepts anybody.
    const QString script = "import os, socket, sys, time\n"
                           "s = socket.socket(socket.AF_UNIX)\n"
                           "s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777); s.listen(8); s.settimeout(1)\n"
                           "print('ready', flush=True)\n"
                           "held = []\n"
                           "end = time.time() + 30\n"
                           "while time.time() < end:\n"
                           "    try:\n"
                           "        held.append(s.accept()[0])\n"
                           "    except socket.timeout:\n"
                           "        pass\n";
    QProcess other;
    startAsNobody(&other, "/usr/bin/python3", {"-c", script, QDir::tempPath() + "/" + SingleInstanceChecker::serverName()});
    ASSERT_TRUE(other.waitForReadyRead(10000)) << "the other user's server did not start";
    QLocalSocket plain;
    plain.connectToServer(QDir::tempPath() + "/" + SingleInstanceChecker::serverName());
    ASSERT_TRUE(plain.waitForConnected(1000)) << "the other user's socket must be reachable";
    plain.abort();

    EXPECT_FALSE(SingleInstanceChecker::isOtherInstanceRunning("#"));

    // The instance listens in its private folder, out of the other user's reach.
    SingleInstanceChecker checker(nullptr);
    QSignalSpy activate(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(SingleInstanceChecker::isOtherInstanceRunning("#"));
    EXPECT_TRUE(waitUntil([&] { return activate.count() == 1; }));
    other.kill();
    other.waitForFinished(5000);
}

// Copies at paths that differ only in letter case share one name; homes that differ only in
// letter case do not, and "/" and ":" in the home do not count.
TEST_F(SingleInstanceTest, NameIgnoresTheCaseOfThePathButNotOfTheHome)
{
    const char* const kOut = "VL_TEST_NAME_OUT";
    if (qEnvironmentVariableIsSet(kOut)) {
        // Inside a copy: report this copy's name to the test that started it.
        QFile out(qEnvironmentVariable(kOut));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(SingleInstanceChecker::serverName().toUtf8());
        return;
    }
    QStringList names;
    for (const QString dir : {"Copy/BIN", "copy/bin"}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kOut, path(dir + ".name"));
        env.insert("HOME", "/home/someone");
        runInPrivateCopy(path(dir), {}, env);
        names << QString::fromUtf8(readFile(path(dir + ".name")));
    }
    ASSERT_TRUE(names.at(0).startsWith("VL3ClientUpdate")) << names.at(0).toStdString();
    EXPECT_EQ(names.at(0), names.at(1));

    const QByteArray oldHome = qgetenv("HOME");
    QStringList homes;
    for (const char* home : {"/home/Someone", "/home/someone", "/home/some:one", "/home/some/one"}) {
        qputenv("HOME", home);
        homes << SingleInstanceChecker::serverName();
    }
    qputenv("HOME", oldHome);
    EXPECT_NE(homes.at(0), homes.at(1));
    EXPECT_EQ(homes.at(1), homes.at(2));
    EXPECT_EQ(homes.at(1), homes.at(3));
    // Lower-case hexadecimal without leading zeros.
    const QString checksum = homes.at(0).mid(int(qstrlen("VL3ClientUpdate")));
    bool ok = false;
    const uint value = checksum.toUInt(&ok, 16);
    EXPECT_TRUE(ok);
    EXPECT_EQ(checksum, QString::number(value, 16));
}
