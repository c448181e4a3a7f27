#include "processtools.h"

#include "filelock.h"
#include "qtwait.h"
#include "tempdir.h"

#include <QFile>

namespace {

class ProcessToolsTest : public TempDirTest {
protected:
    // A script that records its working directory and arguments in `record`, then runs `then`.
    QString writeRecorder(const QString& relative, const QString& record, const QString& then = QString())
    {
        const QString script = writeFile(relative, QString("#!/bin/sh\n{ pwd; echo \"$#\"; for a in \"$@\"; do "
                                                           "echo \"$a\"; done; } > '%1.tmp'\nmv '%1.tmp' '%1'\n%2\n")
                                                       .arg(record, then)
                                                       .toUtf8());
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return script;
    }

    QStringList waitForRecord(const QString& record)
    {
        EXPECT_TRUE(waitUntil([&] { return QFile::exists(record); }, 10000)) << record.toStdString();
        return QString::fromUtf8(readFile(record)).split('\n', Qt::SkipEmptyParts);
    }
};

} // namespace

TEST_F(ProcessToolsTest, ClientScriptRunsWithoutArgumentsInTheInstallDirectory)
{
    const QString dir = makeDir("client dir");
    writeRecorder("client dir/vl3client_runscript.sh", path("record"));
    QString failure;
    EXPECT_TRUE(ProcessTools::startVl3Client(dir, &failure)) << failure.toStdString();
    EXPECT_EQ(waitForRecord(path("record")), (QStringList{dir, "0"}));
}

// The new updater holds the session from its start on: it stays held when the starting one has
// let go, until the new one ends.
TEST_F(ProcessToolsTest, NewUpdaterGetsItsArgumentsAndTheSessionInTheTemporaryDirectory)
{
    const QString dir = makeDir("voxlane_temp_0");
    writeRecorder("voxlane_temp_0/update", path("record"),
                  QString("while [ ! -e '%1' ]; do sleep 0.1; done").arg(path("go")));
    FileLock session;
    ASSERT_EQ(session.acquire(dir + "/session.lock", 0), FileLock::Held);
    EXPECT_TRUE(ProcessTools::startClientUpdater(dir, {"--clientupdate", "client_linux_amd64", "3100", "3.1 final"},
                                                 session));
    EXPECT_EQ(waitForRecord(path("record")),
              (QStringList{dir, "4", "--clientupdate", "client_linux_amd64", "3100", "3.1 final"}));
    session.release();

    FileLock other;
    EXPECT_EQ(other.acquire(dir + "/session.lock", 0), FileLock::HeldByOther);
    writeFile("go");
    EXPECT_EQ(other.acquire(dir + "/session.lock", 10000), FileLock::Held);
}

TEST_F(ProcessToolsTest, MissingUpdaterStartsNothing)
{
    const QString dir = makeDir("empty");
    writeRecorder("elsewhere/update", path("record"));
    const FileLock none;
    EXPECT_FALSE(ProcessTools::startClientUpdater(dir, {"--clientupdate"}, none));
    drainEvents();
    EXPECT_FALSE(QFile::exists(path("record")));
}
