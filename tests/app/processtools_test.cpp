#include "processtools.h"

#include "qtwait.h"
#include "tempdir.h"

#include <QFile>

namespace {

class ProcessToolsTest : public TempDirTest {
protected:
    // A script that records its working directory and arguments in `record`.
    QString writeRecorder(const QString& relative, const QString& record)
    {
        const QString script = writeFile(relative, QString("#!/bin/sh\n{ pwd; echo \"$#\"; for a in \"$@\"; do "
                                                           "echo \"$a\"; done; } > '%1.tmp'\nmv '%1.tmp' '%1'\n")
                                                       .arg(record)
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

TEST_F(ProcessToolsTest, NewUpdaterGetsItsArgumentsInTheTemporaryDirectory)
{
    const QString dir = makeDir("voxlane_temp_0");
    writeRecorder("voxlane_temp_0/update", path("record"));
    EXPECT_TRUE(ProcessTools::startClientUpdater(dir, {"--clientupdate", "client_linux_amd64", "3100", "3.1 final"}));
    EXPECT_EQ(waitForRecord(path("record")),
              (QStringList{dir, "4", "--clientupdate", "client_linux_amd64", "3100", "3.1 final"}));
}

TEST_F(ProcessToolsTest, MissingUpdaterStartsNothing)
{
    const QString dir = makeDir("empty");
    writeRecorder("elsewhere/update", path("record"));
    EXPECT_FALSE(ProcessTools::startClientUpdater(dir, {"--clientupdate"}));
    drainEvents();
    EXPECT_FALSE(QFile::exists(path("record")));
}
