#include "updateinidata.h"

#include "configuration.h"
#include "privatecopy.h"
#include "smalldisk.h"
#include "tempdir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each test runs in its own copy of the binary, so "update.ini beside the executable" is its own,
// and with its own system temporary directory, where session directories live.
class SessionRecordTest : public TempDirTest {
protected:
    bool inCopy()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", makeDir("tmp"));
        return runInPrivateCopy(path("bin"), QStringList(), env);
    }

    static QString iniPath() { return QCoreApplication::applicationDirPath() + "/update.ini"; }

    static void writeIni(const QString& file, const QByteArray& content)
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

    // A session directory as the configuration creates it.
    QString sessionDir(const QString& name = "voxlane_temp_0")
    {
        const QString dir = QDir::tempPath() + "/" + name;
        EXPECT_TRUE(QDir().mkpath(dir)) << dir.toStdString();
        ::chmod(QFile::encodeName(dir).constData(), 0700);
        return dir;
    }
};

} // namespace

TEST_F(SessionRecordTest, WritesAndReadsTheRecord)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    ASSERT_TRUE(UpdateIniData::modify(3100, session, "/opt/voxlane", "update_linux_amd64"));
    EXPECT_EQ(updateIniPath(), iniPath());

    int version = -1;
    QString type, dir, vl3dir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, &vl3dir));
    EXPECT_EQ(version, 3100);
    EXPECT_EQ(type, "update_linux_amd64");
    EXPECT_EQ(dir, session);
    EXPECT_EQ(vl3dir, "/opt/voxlane");
    EXPECT_TRUE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));

    QSettings written(iniPath(), QSettings::IniFormat);
    EXPECT_EQ(written.childGroups(), QStringList{"current"});
}

TEST_F(SessionRecordTest, ValidityRules)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    const QByteArray dirLine = "dir=" + QFile::encodeName(session) + "\n";

    struct Case {
        QByteArray ini;
        bool valid;
    };
    const Case cases[] = {
        {"[current]\nversion=0\ntype=t\n" + dirLine, true},
        {"[current]\nversion=abc\ntype=t\n" + dirLine, false},
        {"[current]\ntype=t\n" + dirLine, false},
        {"[current]\nversion=5\n" + dirLine, false},
        {"[current]\nversion=5\ntype=t\n", false},
        {"[current]\nversion=5\ntype=t\ndir=" + QFile::encodeName(path("gone")) + "\n", false},
        {"[other]\nversion=5\ntype=t\n" + dirLine, false},
    };
    for (const Case& c : cases) {
        writeIni(iniPath(), c.ini);
        int version = -7;
        QString type = "kept", dir = "kept", vl3dir = "kept";
        EXPECT_EQ(UpdateIniData::get(&version, &type, &dir, &vl3dir), c.valid) << c.ini.constData();
        if (c.valid) {
            EXPECT_EQ(vl3dir, "") << "a record without vl3dir yields an empty client directory";
        } else {
            EXPECT_EQ(version, -7);
            EXPECT_EQ(type, "kept");
            EXPECT_EQ(dir, "kept");
            EXPECT_EQ(vl3dir, "kept");
        }
    }

    QFile::remove(iniPath());
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(QFile::exists(iniPath())) << "reading never creates the file";
}

// Only a directory such as the configuration makes counts: a later start deletes it or runs
// the session's programs from it.
TEST_F(SessionRecordTest, RecordedDirectoryMustBeOneOfOurs)
{
    if (!inCopy())
        return;
    for (const char* name : {"voxlane_temp_0", "voxlane_temp_999", "voxlane_temp_aZ09xY"}) {
        const QString dir = sessionDir(name);
        ASSERT_TRUE(UpdateIniData::modify(3100, dir + "/", "", "update_linux_amd64"));
        EXPECT_TRUE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr)) << name;
    }

    const QString open = sessionDir("voxlane_temp_1");
    ::chmod(QFile::encodeName(open).constData(), 0777);
    const QString link = QDir::tempPath() + "/voxlane_temp_2";
    ASSERT_EQ(::symlink(QFile::encodeName(sessionDir("voxlane_temp_3")).constData(), QFile::encodeName(link).constData()), 0);
    QStringList unsafe{open,
                       link,
                       sessionDir("session"),
                       sessionDir("voxlane_temp_1000"),
                       sessionDir("voxlane_temp_abcdefg"),
                       sessionDir("nested/voxlane_temp_4"),
                       "voxlane_temp_0"};
    for (const QString& dir : unsafe) {
        ASSERT_TRUE(UpdateIniData::modify(3100, dir, "", "update_linux_amd64"));
        QString read = "kept";
        EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, &read, nullptr)) << dir.toStdString();
        EXPECT_EQ(read, "kept");
    }
}

TEST_F(SessionRecordTest, ModifyKeepsTheOtherGroups)
{
    if (!inCopy())
        return;
    writeIni(iniPath(), "[Channel]\nbeta=true\n\n[update]\nproxy=http://proxy:3128\nstreams=2\n\n"
                        "[current]\nversion=1\ndir=/old\nvl3dir=/old/client\ntype=old\n");
    const QString session = sessionDir();
    ASSERT_TRUE(UpdateIniData::modify(3100, session, "/opt/voxlane", "update_linux_amd64"));
    QSettings ini(iniPath(), QSettings::IniFormat);
    EXPECT_EQ(ini.value("Channel/beta").toString(), "true");
    EXPECT_EQ(ini.value("update/proxy").toString(), "http://proxy:3128");
    EXPECT_EQ(ini.value("update/streams").toInt(), 2);
    EXPECT_EQ(ini.value("current/version").toInt(), 3100);
    EXPECT_EQ(ini.value("current/dir").toString(), session);
    EXPECT_EQ(ini.value("current/type").toString(), "update_linux_amd64");
}

TEST_F(SessionRecordTest, UnwritableFileFailsTheWrite)
{
    if (!inCopy())
        return;
    // A directory in the file's place cannot be written, not even by root.
    ASSERT_TRUE(QDir().mkdir(iniPath()));
    EXPECT_FALSE(UpdateIniData::modify(3100, sessionDir(), "", "update_linux_amd64"));
}

// A copy that does not reach the file fails with the system's reason, also where QSettings counts
// it as done: a full disk leaves no page for QSettings's lock file, or none for the content.
TEST_F(SessionRecordTest, TempCopyOnAFullDiskFailsWithItsReason)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    ASSERT_TRUE(UpdateIniData::modify(3100, session, "/opt/voxlane", "update_linux_amd64"));
    // A page of content: a disk of size 0 would be unbounded.
    writeIni(session + "/filler", QByteArray(4096, 'x'));
    for (const int freePages : {0, 1}) {
        SCOPED_TRACE(freePages);
        SmallDisk disk(session, freePages);
        ASSERT_TRUE(disk.mounted());
        QString reason;
        EXPECT_FALSE(UpdateIniData::modifyTempIni(session, &reason));
        EXPECT_EQ(reason, QString::fromLocal8Bit(strerror(ENOSPC)));
    }
}

TEST_F(SessionRecordTest, TempCopyCarriesRecordAndUserSettings)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    writeIni(iniPath(), "[Channel]\nalpha=http://files.example/alpha/\nalphaRevno=42\n\n"
                        "[update]\nproxy=http://proxy:3128\nstreams=2\n");
    ASSERT_TRUE(UpdateIniData::modify(3100, session, "/opt/voxlane", "update_linux_amd64"));
    ASSERT_TRUE(UpdateIniData::modifyTempIni(session));

    QSettings copy(session + "/update.ini", QSettings::IniFormat);
    EXPECT_EQ(copy.value("current/version").toInt(), 3100);
    EXPECT_EQ(copy.value("current/dir").toString(), session);
    EXPECT_EQ(copy.value("current/vl3dir").toString(), "/opt/voxlane");
    EXPECT_EQ(copy.value("current/type").toString(), "client_linux_amd64");
    EXPECT_EQ(copy.value("Channel/alpha").toString(), "http://files.example/alpha/");
    EXPECT_EQ(copy.value("Channel/alphaRevno").toInt(), 42);
    EXPECT_EQ(copy.value("update/proxy").toString(), "http://proxy:3128");
    EXPECT_EQ(copy.value("update/streams").toInt(), 2);
}

TEST_F(SessionRecordTest, TempCopyNeedsAValidRecord)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    writeIni(iniPath(), "[current]\nversion=abc\ntype=t\ndir=" + QFile::encodeName(session) + "\n");
    EXPECT_FALSE(UpdateIniData::modifyTempIni(session));
    EXPECT_FALSE(QFile::exists(session + "/update.ini"));
}
