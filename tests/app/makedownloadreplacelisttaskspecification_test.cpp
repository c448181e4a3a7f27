#include "configuration.h"
#include "confineddirectory.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "qtwait.h"
#include "rsacrypto.h"
#include "signingtools.h"
#include "tempdir.h"

#include <QDir>
#include <QFile>
#include <QThreadPool>
#include <gtest/gtest.h>

namespace {

const char* kInvalidLine = "Warning: product ini contains invalid line in section %1";

class ProductIniCompileTest : public TempDirTest {
protected:
    struct Result {
        bool ok = false;
        UpdateLists lists;
        QStringList texts;
        QList<qreal> progress;
    };

    void SetUp() override
    {
        initCrypto();
        m_Config.isClientUpdate = 1;
        m_Config.vl3dir = makeDir("client");
        m_Config.tempDir = makeDir("temp");
    }

    void writeIni(const QString& text)
    {
        const QString name = m_Config.isClientUpdate == 1 ? "vl3_client_linux_amd64.ini" : "update_linux_amd64.ini";
        writeFile("temp/" + name, text.toUtf8());
    }

    Result compile()
    {
        auto lists = std::make_shared<UpdateLists>();
        lists->deletions.append(DeleteEntry{"from an earlier run", false});
        MakeDownloadReplaceListFunc func(&m_Config, lists);
        Result r;
        QObject::connect(&func, &ASyncFunc::message, [&r](const QString& t) { r.texts << t; });
        QObject::connect(&func, &ASyncFunc::progress, [&r](qreal p) { r.progress << p; });
        r.ok = func.run();
        r.lists = *lists;
        return r;
    }

    QString client(const QString& relative, const QByteArray& content) { return writeFile("client/" + relative, content); }
    QString temp(const QString& relative, const QByteArray& content) { return writeFile("temp/" + relative, content); }

    // The digest sha512sum gives for `content`.
    QString digestOf(const QByteArray& content)
    {
        const QString file = writeFile(QString("scratch/%1").arg(m_Scratch++), content);
        const QString digest = sha512sum(file);
        EXPECT_EQ(digest.size(), 128) << "sha512sum failed";
        return digest;
    }

    // One line per entry, "missing" when the list has no entry of that key.
    static std::string replacement(const UpdateLists& lists, const QString& key)
    {
        for (const ListEntry& e : lists.replacements)
            if (e.key == key)
                return QStringList{e.section, e.sha512, QString::number(e.size), e.overridePath, e.patchKey}
                    .join('|')
                    .toStdString();
        return "missing";
    }

    static std::string download(const UpdateLists& lists, const QString& key)
    {
        for (const DownloadEntry& d : lists.downloads)
            if (d.key == key)
                return QStringList{d.section, d.sha512, QString::number(d.size)}.join('|').toStdString();
        return "missing";
    }

    static std::string line(const QStringList& fields) { return fields.join('|').toStdString(); }

    static QString started(const char* stage) { return QString("Compiling download and replace list for ") + stage; }

    Configuration m_Config;
    int m_Scratch = 0;
};

TEST_F(ProductIniCompileTest, FileLinesAreUpToDateOrQueued)
{
    const QString current = digestOf("current");
    const QString fresh = digestOf("fresh");
    const QString packed = digestOf("packed bytes");
    client("bin/current.so", "current");
    client("lib/stale.so", "stale");
    client("data/kept.dat", "current");
    client("data/stale.dat", "stale");
    client("plain.bin", "current");
    client("plain2.bin", "stale");

    writeIni(QString("[client]\n"
                     "bin/current.so=%1::7\n"
                     "lib/stale.so=%2::5\n"
                     "new.so=%2::12x\n"
                     "packed/kept._lzma2_=%3::12::%1::7::data/kept.dat\n"
                     "packed/stale._lzma2_=%3::12::%2::5::data/stale.dat\n"
                     "plain.bin=%1::7::%2::5::\n"
                     "plain2.bin=%1::7::%2::5::\n"
                     "broken.so=%1::7::3\n"
                     "zz_last.so=%2::5\n")
                 .arg(current, fresh, packed));
    const Result r = compile();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.texts, (QStringList{started("client"), QString(kInvalidLine).arg("client")}));
    EXPECT_TRUE(r.lists.deletions.isEmpty()) << "the bundle starts empty";
    ASSERT_EQ(r.progress.size(), 9);
    EXPECT_DOUBLE_EQ(r.progress.last(), 1.0);

    QStringList queued;
    for (const ListEntry& e : r.lists.replacements)
        queued << e.key;
    queued.sort();
    EXPECT_EQ(queued, (QStringList{"lib/stale.so", "new.so", "packed/stale._lzma2_", "plain2.bin", "zz_last.so"}));
    ASSERT_EQ(r.lists.downloads.size(), 5) << "nothing was fetched before";

    EXPECT_EQ(replacement(r.lists, "new.so"), line({"client", "", "0", "", ""}));
    EXPECT_EQ(download(r.lists, "new.so"), line({"client", fresh, "0"})) << "'12x' reads as 0";
    EXPECT_EQ(replacement(r.lists, "packed/stale._lzma2_"), line({"client", fresh, "5", "data/stale.dat", ""}));
    EXPECT_EQ(download(r.lists, "packed/stale._lzma2_"), line({"client", packed, "12"}));
    // An empty target path: the installed file is tested against the packed file's digest.
    EXPECT_EQ(replacement(r.lists, "plain2.bin"), line({"client", fresh, "5", "", ""}));
    EXPECT_TRUE(QDir(m_Config.tempDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size() == 1)
        << "step two copies nothing into the temp dir";
}

TEST_F(ProductIniCompileTest, PatchIsChosenByTheInstalledFilesDigest)
{
    const QString v1 = digestOf("version 1");
    const QString v2 = digestOf("version 2");
    const QString target = digestOf("version 3");
    const QString patch1 = digestOf("patch from 1");
    const QString patch2 = digestOf("patch from 2");
    client("bin/app", "version 2");
    client("bin/lib.so", "version 2");

    // Patches for bin/lib.so exist only in another section, and one for a different target.
    writeIni(QString("[client]\n"
                     "packed/app._lzma2_=%3::100::%3::50::bin/app\n"
                     "app_v1_patch_=%4::11::%1::9::bin/app\n"
                     "app_v2_patch_=%5::22::%2::9::bin/app\n"
                     "lib_wrong_patch_=%4::11::%2::9::bin/other.so\n"
                     "packed/lib._lzma2_=%3::100::%3::50::bin/lib.so\n"
                     "[extra]\n"
                     "lib_patch_=%5::22::%2::9::bin/lib.so\n")
                 .arg(v1, v2, target, patch1, patch2));
    const Result r = compile();
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.lists.replacements.size(), 2);
    EXPECT_EQ(replacement(r.lists, "packed/app._lzma2_"), line({"client", target, "50", "bin/app", "app_v2_patch_"}))
        << "the entry keeps the file line's target digest";
    EXPECT_EQ(download(r.lists, "app_v2_patch_"), line({"client", patch2, "22"}));
    EXPECT_EQ(replacement(r.lists, "packed/lib._lzma2_"), line({"client", target, "50", "bin/lib.so", ""}));
    EXPECT_EQ(download(r.lists, "packed/lib._lzma2_"), line({"client", target, "100"}));
    EXPECT_EQ(r.lists.downloads.size(), 2);

    // Six keys in all, two of them counted: patch keys are in the total but never advance it.
    ASSERT_EQ(r.progress.size(), 2);
    EXPECT_LT(r.progress.last(), 1.0);
}

TEST_F(ProductIniCompileTest, DownloadsLeftByAnEarlierRunAreNotFetchedAgain)
{
    const QString whole = digestOf("whole file");
    const QString patch = digestOf("the patch");
    const QString old = digestOf("old");
    client("bin/app", "old");
    temp("new.so", "whole file");
    temp("sub/half.so", "half a fi");
    temp("app_patch_", "the patch");

    writeIni(QString("[client]\n"
                     "new.so=%1::10\n"
                     "sub/half.so=%1::10\n"
                     "packed/app._lzma2_=%1::10::%1::10::bin/app\n"
                     "app_patch_=%2::9::%3::3::bin/app\n")
                 .arg(whole, patch, old));
    const Result r = compile();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.lists.replacements.size(), 3) << "every file is still installed";
    ASSERT_EQ(r.lists.downloads.size(), 1);
    EXPECT_EQ(r.lists.downloads.first().key, "sub/half.so");
    EXPECT_EQ(replacement(r.lists, "packed/app._lzma2_"), line({"client", whole, "10", "bin/app", "app_patch_"}));
}

TEST_F(ProductIniCompileTest, StepOneCopiesUpToDateFilesIntoTheNewUpdater)
{
    m_Config.isClientUpdate = 0;
    const QString updater = digestOf("updater binary");
    const QString plugin = digestOf("plugin");
    client("update", "updater binary");
    client("plugins/x.so", "plugin");
    client("plugins/y.so", "stale plugin");
    temp("plugins/y.so", "untouched");
    writeIni(QString("[update]\n"
                     "update=%1::14\n"
                     "packed/x._lzma2_=%1::14::%2::6::plugins/x.so\n"
                     "plugins/y.so=%2::6\n")
                 .arg(updater, plugin));
    const Result r = compile();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.texts.first(), started("updater"));
    EXPECT_EQ(readFile(m_Config.tempDir + "/update"), "updater binary");
    EXPECT_EQ(readFile(m_Config.tempDir + "/plugins/x.so"), "plugin");
    EXPECT_FALSE(QFile::exists(m_Config.tempDir + "/packed")) << "copied under the effective path";
    ASSERT_EQ(r.lists.replacements.size(), 1);
    EXPECT_EQ(r.lists.replacements.first().key, "plugins/y.so");
    EXPECT_EQ(readFile(m_Config.tempDir + "/plugins/y.so"), "untouched");
}

TEST_F(ProductIniCompileTest, CurrentInstallProgramIsCopiedIntoTheTempDir)
{
    // Step two leaves current files where they are, except the programs its commands start
    // from the temp dir: those get the installed copy just verified, over anything stale.
    const QString script = digestOf("#!/bin/sh\n");
    client("bin/post.sh", "#!/bin/sh\n");
    client("bin/other.sh", "#!/bin/sh\n");
    client("bin/windows.sh", "#!/bin/sh\n");
    temp("bin/post.sh", "left by an earlier run");
    // Sections are visited in name order; the commands' section comes after the files'.
    writeIni(QString("[client]\n"
                     "bin/post.sh=%1::10\n"
                     "bin/other.sh=%1::10\n"
                     "bin/windows.sh=%1::10\n"
                     "[postinstall]\n"
                     "bin/post.sh=linux64\n"
                     "bin/windows.sh=win64\n")
                 .arg(script));
    const Result r = compile();
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.lists.replacements.isEmpty());
    EXPECT_TRUE(r.lists.downloads.isEmpty());
    EXPECT_EQ(readFile(m_Config.tempDir + "/bin/post.sh"), "#!/bin/sh\n");
    EXPECT_FALSE(QFile::exists(m_Config.tempDir + "/bin/other.sh"));
    EXPECT_FALSE(QFile::exists(m_Config.tempDir + "/bin/windows.sh"));
}

TEST_F(ProductIniCompileTest, DeleteSectionListsOnlyExistingPathsWithDeletingCodes)
{
    makeDir("client/olddir/sub");
    client("olddir/sub/f", "x");
    client("keep.txt", "x");
    client("junk.txt", "x");
    client("twelve.txt", "x");
    client("negative.txt", "x");
    // A link is listed by itself, even one that leads nowhere.
    ASSERT_TRUE(QFile::link(path("nowhere"), path("client/stale.so")));
    writeIni("[delete]\n"
             "olddir=2\n"
             "keep.txt=11\n"
             "junk.txt=abc\n"
             "twelve.txt=12\n"
             "negative.txt=-4\n"
             "missing.txt=2\n"
             "stale.so=1\n");
    const Result r = compile();
    ASSERT_TRUE(r.ok);
    QMap<QString, bool> deleted;
    for (const DeleteEntry& d : r.lists.deletions)
        deleted.insert(d.path, d.recursive);
    EXPECT_EQ(deleted, (QMap<QString, bool>{
                           {"olddir", true},
                           {"junk.txt", false},
                           {"twelve.txt", false},
                           {"negative.txt", false},
                           {"stale.so", false}}));
    EXPECT_EQ(r.progress.size(), 7);
    EXPECT_DOUBLE_EQ(r.progress.last(), 1.0);
}

TEST_F(ProductIniCompileTest, InstallCommandsForThisPlatformWithTheClientFolderFilledIn)
{
    writeIni("[preinstall]\n"
             "a_setup.sh=win64::LINUX64, -d::__VL3_DIR__/lib::x__VL3_DIR__y, optional\n"
             "b_twice.sh=linux64::linux64\n"
             "c_noargs.sh=linux64\n"
             "d_emptyarg.sh=linux64,\n"
             "e_windows.exe=win32::win64::mac::linux32, /s\n"
             "f_required.sh=linux64, -v, OPTIONAL\n"
             "[postinstall]\n"
             "post.sh=linux64, done\n");
    const Result r = compile();
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.progress.isEmpty()) << "commands do not advance the progress";
    const QString dir = m_Config.vl3dir;
    const QList<InstallCommand>& pre = r.lists.preInstall;
    ASSERT_EQ(pre.size(), 6);
    EXPECT_EQ(pre[0].program, "a_setup.sh");
    EXPECT_EQ(pre[0].arguments, (QStringList{"-d", dir + "/lib", "x" + dir + "y"}));
    EXPECT_FALSE(pre[0].required);
    EXPECT_EQ(pre[1].program, "b_twice.sh");
    EXPECT_EQ(pre[2].program, "b_twice.sh");
    EXPECT_TRUE(pre[3].arguments.isEmpty());
    EXPECT_TRUE(pre[3].required);
    EXPECT_EQ(pre[4].program, "d_emptyarg.sh");
    EXPECT_EQ(pre[4].arguments, QStringList{""});
    EXPECT_EQ(pre[5].program, "f_required.sh");
    EXPECT_TRUE(pre[5].required) << "only the exact word makes a command optional";

    ASSERT_EQ(r.lists.postInstall.size(), 1);
    EXPECT_EQ(r.lists.postInstall[0].arguments, QStringList{"done"});

    EXPECT_EQ(MakeDownloadReplaceListFunc::platformId("Win32"), 1);
    EXPECT_EQ(MakeDownloadReplaceListFunc::platformId("MAC"), 5);
    EXPECT_EQ(MakeDownloadReplaceListFunc::platformId("linux"), 0);
    EXPECT_EQ(MakeDownloadReplaceListFunc::platformId(""), 0);
}

TEST_F(ProductIniCompileTest, CompileFailsWithoutKeysOrOnAMalformedPatchLine)
{
    Result r = compile();
    EXPECT_FALSE(r.ok) << "no product ini at all";
    EXPECT_EQ(r.texts, (QStringList{started("client"), "No files in product ini"}));

    writeIni("top=level::1\n[client]\n[delete]\n");
    r = compile();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.texts.last(), "No files in product ini");

    writeIni(QString("[client]\n"
                     "a.so=%1::5\n"
                     "short_patch_=%1::1::%1\n")
                 .arg(digestOf("x")));
    r = compile();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.texts.last(), QString(kInvalidLine).arg("client"));
    EXPECT_TRUE(r.lists.replacements.isEmpty()) << "patch lines are read before any file line";
}

TEST(ProductIniPaths, OnlyPathsBelowTheirFolderAreContained)
{
    for (const char* good : {"a.so", "lib/a.so", "a/./b", "...", "..a/b..", "a//b", "a\\..\\b"})
        EXPECT_TRUE(ConfinedDirectory::isRelativeBelow(good)) << good;
    for (const char* bad : {"", ".", "./", "a/..", "..", "../a", "a/../../b", "/etc/passwd", "a/../.."})
        EXPECT_FALSE(ConfinedDirectory::isRelativeBelow(bad)) << bad;
}

TEST_F(ProductIniCompileTest, LineLeadingOutsideItsFolderFailsTheCompile)
{
    m_Config.isClientUpdate = 0;
    const QString digest = digestOf("secret");
    writeFile("secret", "secret");
    client("sub/x", "x");
    struct Case {
        QString section;
        QString line;
        QString key;
        QString path;
    };
    // Qt's escapes in keys must not smuggle a parent folder past the check either.
    const QList<Case> cases{
        {"update", "..%2F..%2Fescaped.so=%1::6", "../../escaped.so", "../../escaped.so"},
        {"update", "packed/a._lzma2_=%1::6::%1::6::../secret", "packed/a._lzma2_", "../secret"},
        {"update", "packed/b._lzma2_=%1::6::%1::6::/abs/b.so", "packed/b._lzma2_", "/abs/b.so"},
        {"update", "packed/c._lzma2_=%1::6::%1::6::sub/../../leak/c.so", "packed/c._lzma2_", "sub/../../leak/c.so"},
        {"update", "..%2Fp_patch_=%1::6::%1::6::fine.so", "../p_patch_", "../p_patch_"},
        {"update", "p_patch_=%1::6::%1::6::../fine.so", "p_patch_", "../fine.so"},
        {"delete", ".=2", ".", "."},
        {"delete", "sub%2F..%2F..=2", "sub/../..", "sub/../.."},
        {"preinstall", "..%2F..%2Fbin%2Fsh=linux64, -c", "../../bin/sh", "../../bin/sh"},
        {"postinstall", "tools%2F..%2F..%2Fx.sh=win64", "tools/../../x.sh", "tools/../../x.sh"},
    };
    int written = 0;
    for (const Case& c : cases) {
        // The unsafe line comes last, after lines that compile. Qt keeps the files it has read by
        // their time and size: every version gets a size of its own.
        const QString other = c.section == "delete" ? "[postinstall]\nfine.so=linux64\n" : "[delete]\nsub/x=1\n";
        writeIni("[base]\nfine.so=" + digest + "::6\n" + other + "[" + c.section + "]\n" +
                 QString(c.line).replace("%1", digest) + QString(200 * ++written, '\n'));
        const Result r = compile();
        EXPECT_FALSE(r.ok) << c.line.toStdString();
        ASSERT_FALSE(r.texts.isEmpty());
        EXPECT_EQ(r.texts.last().toStdString(),
                  QString("Refusing product ini line %1 in section %2: %3 leads outside the allowed folders")
                      .arg(c.key, c.section, c.path)
                      .toStdString());
    }
    EXPECT_FALSE(QFile::exists(path("leak"))) << "nothing is copied outside the temp dir";
}

class ProductIniTaskTest : public ProductIniCompileTest {};

TEST_F(ProductIniTaskTest, SharedListsChangeOnlyWhenTheCompileSucceeds)
{
    UpdateLists shared;
    shared.deletions.append(DeleteEntry{"before", false});
    {
        MakeDownloadReplaceListTaskSpecification task(&m_Config, &shared, nullptr, 0.05);
        QStringList texts;
        QObject::connect(&task, &TaskSpecification::message, [&texts](const QString& t) { texts << t; });
        task.execute();
        ASSERT_TRUE(waitUntil([&task] { return task.hasEnded(); }));
        EXPECT_EQ(task.state, TaskSpecification::FAILED);
        EXPECT_EQ(texts.last(), "No files in product ini");
        ASSERT_EQ(shared.deletions.size(), 1);
        EXPECT_EQ(shared.deletions.first().path, "before");
    }

    writeIni(QString("[client]\nnew.so=%1::3\n").arg(digestOf("new")));
    MakeDownloadReplaceListTaskSpecification task(&m_Config, &shared, nullptr, 0.05);
    task.execute();
    ASSERT_TRUE(waitUntil([&task] { return task.hasEnded(); }));
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(task.progress, 0.05);
    EXPECT_TRUE(shared.deletions.isEmpty());
    ASSERT_EQ(shared.replacements.size(), 1);
    EXPECT_EQ(shared.downloads.first().key, "new.so");
}

TEST_F(ProductIniTaskTest, WorkerMayOutliveItsTask)
{
    // A large installed file keeps the worker hashing after the task is gone.
    const QString big = path("client/big.bin");
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(32) << 20));
    }
    QString ini = "[client]\n";
    for (int i = 0; i < 50; ++i)
        ini += QString("f%1.so=%2::1\n").arg(i).arg(QString(128, 'a'));
    ini += QString("big.bin=%1::1\n").arg(QString(128, 'a'));
    writeIni(ini);

    UpdateLists shared;
    auto task = new MakeDownloadReplaceListTaskSpecification(&m_Config, &shared, nullptr, 0.05);
    task->execute();
    delete task;
    QThreadPool::globalInstance()->waitForDone(-1);
    drainEvents();
    EXPECT_TRUE(shared.replacements.isEmpty()) << "nothing reaches the lists of a deleted task";
}

} // namespace
