#include "updateinidata.h"

#include "configuration.h"
#include "privatecopy.h"
#include "privileges.h"
#include "smalldisk.h"
#include "tempdir.h"
#include "writefailure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each test runs in its own copy of the binary, so "update.ini beside the executable" is its own,
// and with its own system temporary directory, where session directories live.
class SessionRecordTest : public TempDirTest {
protected:
    // `preload`: a library that the copy loads before any other.
    bool inCopy(const QString& preload = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", makeDir("tmp"));
        if (!preload.isEmpty()) {
            env.insert("LD_PRELOAD", preload);
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        }
        return runInPrivateCopy(path("bin"), QStringList(), env);
    }

    static QString iniPath() { return QCoreApplication::applicationDirPath() + "/update.ini"; }

    static void writeIni(const QString& file, const QByteArray& content)
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

    // The file's bytes; none when there is no file.
    static std::optional<QByteArray> contentOf(const QString& file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return std::nullopt;
        return f.readAll();
    }

    // The settings that `content` holds, read through a name that no QSettings has seen.
    static QMap<QString, QString> settingsIn(const std::optional<QByteArray>& content)
    {
        QMap<QString, QString> values;
        QTemporaryFile file;
        if (!content || !file.open() || file.write(*content) != content->size() || !file.flush())
            return values;
        QSettings settings(file.fileName(), QSettings::IniFormat);
        for (const QString& key : settings.allKeys())
            values.insert(key, settings.value(key).toString());
        return values;
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

// A file that cannot be written stays as it is; the failure says why.
TEST_F(SessionRecordTest, UnwritableFileFailsTheWrite)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    // A directory in the file's place cannot be written, not even by root.
    ASSERT_TRUE(QDir().mkdir(iniPath()));
    QString reason;
    EXPECT_FALSE(UpdateIniData::modify(3100, session, "", "update_linux_amd64", &reason));
    EXPECT_EQ(reason, QString::fromLocal8Bit(strerror(EISDIR)));
    ASSERT_TRUE(QDir().rmdir(iniPath()));

    // The user's own file, made read-only, in a folder that would take a new one.
    const QByteArray settings = "[update]\nstreams=2\n";
    writeIni(iniPath(), settings);
    const QString bin = QCoreApplication::applicationDirPath();
    ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(bin).path()).constData(), 0711), 0);
    for (const QString& folder : {bin, QDir::tempPath()})
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 01777), 0);
    ASSERT_EQ(runCommand("chown nobody '" + iniPath() + "' && chmod 444 '" + iniPath() + "'"), 0);
    {
        ActingAsNobody user;
        ASSERT_TRUE(user.acting());
        EXPECT_FALSE(UpdateIniData::modify(3100, session, "", "update_linux_amd64", &reason));
    }
    EXPECT_EQ(reason, QString::fromLocal8Bit(strerror(EACCES)));
    EXPECT_EQ(contentOf(iniPath()), settings);
}

// A copy that does not fit on the disk fails with the system's reason: no page is free, or one
// where the user's channel settings take two.
TEST_F(SessionRecordTest, TempCopyOnAFullDiskFailsWithItsReason)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    writeIni(iniPath(), "[Channel]\nalphaNotes=" + QByteArray(5000, 'x') + "\n");
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

// Writing or taking away the record on a disk short of space, beside the program or in the
// temporary folder where the new content is composed, under a file size limit that cuts the old
// content's copy, or on a disk that fails to sync or close the new file: the file is left as it
// was (none where there was none), or holds the change and every other setting that Qt reads in
// it, and no other file is left beside it. Beside the program the change is made exactly where the
// new file fits; one free page was where Qt's own write put its lock file, and then an empty file
// in the old one's place.
TEST_F(SessionRecordTest, ChangeOnAFullDiskLeavesTheOldOrTheWholeNewFile)
{
    if (!inCopy(VL_FAIL_SHIM))
        return;
    const QString session = sessionDir();
    const QByteArray settings = "[Channel]\nbeta=false\n\n[update]\nproxy=http://proxy:3128\nstreams=2\n";
    const QByteArray record = "[current]\ndir=/old\ntype=old\nversion=1\nvl3dir=/old/client\n\n";
    const QByteArray sessionRecord = "[current]\ndir=" + QFile::encodeName(session) + "\ntype=old\nversion=1\n\n";
    // Lines of the user's that Qt skips: the change leaves them out and keeps every setting.
    const QByteArray comment = "[Channel]\nbeta=false\n\n[update]\n# streams lowered for the slow line at home\n"
                               "proxy=http://proxy:3128\nstreams=2\n";
    const QByteArray byteOrderMark = "\xef\xbb\xbf";
    const QByteArray lineWithoutValue = "[Channel]\nbeta=false\n\n[update]\nproxy=http://proxy:3128\nslow line\nstreams=2\n";
    // Settings that nearly fill a page: with the record they take two.
    QByteArray pageOfSettings = settings + "\n[notes]\ntext=";
    pageOfSettings += QByteArray(4060 - pageOfSettings.size(), 'n') + "\n";
    // A client folder outside ASCII, as a user's name may give it.
    const QString client = QString::fromUtf8("/home/jos\xc3\xa9/voxlane");
    const QMap<QString, QString> written{{"current/version", "3100"},
                                         {"current/dir", session},
                                         {"current/vl3dir", client},
                                         {"current/type", "update_linux_amd64"}};

    // Returns whether the record was written; `reason` gets the failure's.
    using Change = std::function<bool(QString* reason)>;
    const Change modify = [&](QString* reason) {
        return UpdateIniData::modify(3100, session, client, "update_linux_amd64", reason);
    };
    const Change remove = [](QString*) {
        UpdateIniData::remove();
        return false;
    };
    const Change removeSession = [&](QString*) {
        UpdateIniData::removeSession(iniPath(), session);
        return false;
    };
    const struct {
        const char* name;
        std::optional<QByteArray> before;
        Change change;
        bool writes;
        // Free pages beside the program in which the change must be made.
        int pagesNeeded;
    } cases[] = {
        {"record beside the user's settings", settings, modify, true, 1},
        {"record beside a page of the user's settings", pageOfSettings, modify, true, 2},
        {"record in place of an older one", record + settings, modify, true, 1},
        {"record without an earlier file", std::nullopt, modify, true, 1},
        {"record taken away", record + settings, remove, false, 1},
        {"session's record taken away", settings + sessionRecord, removeSession, false, 1},
        {"last settings taken away", record, remove, false, 0},
        {"record beside a comment", comment, modify, true, 1},
        {"record beside settings after a byte-order mark", byteOrderMark + settings, modify, true, 1},
        {"record beside a line without a value", lineWithoutValue, modify, true, 1},
        {"record beside a group without its closing bracket", QByteArray("[Channel\nbeta=true\n"), modify, true, 1},
        {"record taken away beside a comment", record + comment, remove, false, 1},
        {"record taken away after a byte-order mark", byteOrderMark + record + settings, remove, false, 1},
        {"session's record taken away beside a line without a value", lineWithoutValue + sessionRecord, removeSession,
         false, 1},
    };

    using Limit = std::function<std::shared_ptr<void>()>;
    auto smallDisk = [](const QString& folder, int freePages) -> Limit {
        return [folder, freePages] {
            auto disk = std::make_shared<SmallDisk>(folder, freePages);
            EXPECT_TRUE(disk->mounted());
            return disk;
        };
    };
    // Below the old content's size, above that of the user's settings alone.
    const Limit fileSizeLimit = [] { return std::make_shared<FileSizeLimit>(100); };
    auto failing = [](const char* call) -> Limit {
        return [call] { return std::make_shared<FailingCall>(call, "update.ini."); };
    };
    const QString bin = QCoreApplication::applicationDirPath();
    const QString noSpace = QString::fromLocal8Bit(strerror(ENOSPC));
    const struct {
        const char* name;
        Limit impose;
        // The reason of a failed write; empty where any will do.
        QString reason;
        // Free pages beside the program: the change is made where it needs no more. A new file
        // that the disk does not confirm is as good as none. -1 where the change may fail
        // whatever it needs.
        int freePages;
    } limits[] = {
        {"no free page beside the program", smallDisk(bin, 0), noSpace, 0},
        {"one free page beside the program", smallDisk(bin, 1), noSpace, 1},
        {"two free pages beside the program", smallDisk(bin, 2), noSpace, 2},
        {"no free page in the temporary folder", smallDisk(QDir::tempPath(), 0), QString(), -1},
        {"one free page in the temporary folder", smallDisk(QDir::tempPath(), 1), QString(), -1},
        {"two free pages in the temporary folder", smallDisk(QDir::tempPath(), 2), QString(), -1},
        {"file size limit", fileSizeLimit, QString(), -1},
        {"fsync of the new file failing", failing("fsync"), QString::fromLocal8Bit(strerror(EIO)), 0},
        {"close of the new file failing", failing("close"), QString::fromLocal8Bit(strerror(EIO)), 0},
    };
    for (const auto& limit : limits) {
        for (const auto& c : cases) {
            SCOPED_TRACE(QString("%1, %2").arg(c.name, limit.name).toStdString());
            QFile::remove(iniPath());
            if (c.before)
                writeIni(iniPath(), *c.before);
            QString reason;
            bool done = false;
            std::optional<QByteArray> after;
            QStringList beside;
            {
                const std::shared_ptr<void> imposed = limit.impose();
                done = c.change(&reason);
                after = contentOf(iniPath());
                beside = QDir(bin).entryList({"update.ini*"}, QDir::AllEntries | QDir::Hidden | QDir::System);
            }
            EXPECT_EQ(beside, after ? QStringList{"update.ini"} : QStringList());

            QMap<QString, QString> expected = settingsIn(c.before);
            for (const QString& key : expected.keys()) {
                if (key.startsWith("current/"))
                    expected.remove(key);
            }
            if (c.writes)
                expected.insert(written);
            const bool changed = c.writes ? done : after != c.before;
            if (limit.freePages >= 0) {
                EXPECT_EQ(changed, limit.freePages >= c.pagesNeeded);
            }
            if (changed) {
                EXPECT_EQ(settingsIn(after), expected);
                EXPECT_EQ(after.has_value(), !expected.isEmpty()) << "a file without settings goes";
            } else {
                EXPECT_EQ(after, c.before);
            }
            if (c.writes && !done) {
                EXPECT_FALSE(reason.isEmpty());
                if (!limit.reason.isEmpty()) {
                    EXPECT_EQ(reason, limit.reason);
                }
            }
        }
    }
}

// A new file gets the mode that the user's umask leaves; a changed one keeps its mode, and a link
// stays a link, whose target gets the change.
TEST_F(SessionRecordTest, ChangeKeepsTheFilesModeAndLink)
{
    if (!inCopy())
        return;
    const QString session = sessionDir();
    auto modeOf = [](const QString& file) {
        struct stat st;
        return ::lstat(QFile::encodeName(file).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    ::umask(027);
    ASSERT_TRUE(UpdateIniData::modify(3100, session, "", "update_linux_amd64"));
    EXPECT_EQ(modeOf(iniPath()), 0640);
    ASSERT_EQ(::chmod(QFile::encodeName(iniPath()).constData(), 0604), 0);
    ASSERT_TRUE(UpdateIniData::modify(3101, session, "", "update_linux_amd64"));
    EXPECT_EQ(modeOf(iniPath()), 0604);

    const QString target = QDir::tempPath() + "/settings.ini";
    writeIni(target, "[update]\nstreams=2\n");
    ASSERT_TRUE(QFile::remove(iniPath()));
    ASSERT_TRUE(QFile::link(target, iniPath()));
    ASSERT_TRUE(UpdateIniData::modify(3100, session, "", "update_linux_amd64"));
    EXPECT_TRUE(QFileInfo(iniPath()).isSymLink());
    EXPECT_EQ(settingsIn(contentOf(target)).value("current/version"), "3100");
    UpdateIniData::remove();
    EXPECT_TRUE(QFileInfo(iniPath()).isSymLink());
    EXPECT_EQ(settingsIn(contentOf(target)), (QMap<QString, QString>{{"update/streams", "2"}}));
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
