#include "fastfileoptaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "filereplacetest.h"

#include <QRegularExpression>

namespace {

class FileReplaceListTest : public FileReplaceTest {
protected:
    // An installed client and a replace list of every kind of entry: a new file by copy and a
    // new unpacked file, each in a missing folder, a patched program and an unpacked library.
    void SetUp() override
    {
        FileReplaceTest::SetUp();
        oldProgram = program("/usr/bin/true");
        newProgram = program("/usr/bin/false");
        setMode(writeFile("client/bin/update", oldProgram), 0644);
        setMode(writeFile("client/lib/libx.so.5", "old library"), 0640);
        writeFile("client/readme.txt", "stays");
        writeFile("temp/a/b/new.txt", "new text");
        ASSERT_EQ(runCommand(QString("printf 'unpacked data' | gzip -n > '%1'").arg(path("temp/data.gz"))), 0)
            << "gzip is needed";
        packed("lib/libx.so.5._lzma2_", "new library");
        patch("update.patch", oldProgram, newProgram);
        entries = {entry("a/b/new.txt"), entry("bin/update", digest(newProgram), "bin/update", "update.patch"),
                   entry("lib/libx.so.5._lzma2_", digest("new library"), "lib/libx.so.5"),
                   entry("data.gz", digest("unpacked data"), "a/c/data.bin")};
    }

    QByteArray oldProgram;
    QByteArray newProgram;
    QList<ListEntry> entries;
};

} // namespace

TEST_F(FileReplaceListTest, InstallsEveryKindOfEntry)
{
    FileReplaceListTaskSpecification task(&entries, &configuration, nullptr, 0.4);
    const QStringList texts = run(task);
    EXPECT_EQ(texts.value(0), "Starting file updates");
    EXPECT_FALSE(texts.contains("rolling back file updates"));
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(task.progress, 0.4);

    // The missing folders, parents first, share a tenth; the files share the rest.
    const auto folders = task.findChildren<DirCreateTaskSpecification*>();
    EXPECT_EQ(folders.size(), 2);
    for (const DirCreateTaskSpecification* folder : folders)
        EXPECT_DOUBLE_EQ(folder->weight, 0.05);
    for (const FileReplaceTaskSpecification* file : task.findChildren<FileReplaceTaskSpecification*>())
        EXPECT_DOUBLE_EQ(file->weight, 0.9 / 4);

    EXPECT_EQ(readFile(path("client/a/b/new.txt")), "new text");
    EXPECT_EQ(readFile(path("client/bin/update")), newProgram);
    EXPECT_EQ(mode(path("client/bin/update")), 0755u);
    EXPECT_EQ(readFile(path("client/lib/libx.so.5")), "new library");
    EXPECT_EQ(mode(path("client/lib/libx.so.5")), 0750u);
    EXPECT_EQ(readFile(path("client/a/c/data.bin")), "unpacked data");
    // The installed files moved aside are gone once the whole step succeeded.
    const QStringList after = snapshot(path("client"));
    EXPECT_EQ(after.filter("vl3_backup"), QStringList());
}

TEST_F(FileReplaceListTest, DigestMismatchRollsBackTheWholeStep)
{
    entries.append(entry("data.gz", digest("something else"), "a/d/last.bin"));
    const QStringList before = snapshot(path("client"));
    FileReplaceListTaskSpecification task(&entries, &configuration, nullptr, 0.4);
    const QStringList texts = run(task);
    EXPECT_TRUE(texts.contains(QString("Signature check failed for %1").arg(path("client/a/d/last.bin"))));
    EXPECT_EQ(texts.last(), "rolling back file updates");
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_EQ(snapshot(path("client")), before);
}

TEST_F(FileReplaceListTest, CancelWhileFilesAreReplacedPutsTheClientBack)
{
    const QStringList before = snapshot(path("client"));
    FileReplaceListTaskSpecification task(&entries, &configuration, nullptr, 0.4);
    // The third file starts only once one of the first two has been put in place and handed its
    // records over, while the other may still be writing.
    QObject::connect(&task, &TaskSpecification::message, [&](const QString& text) {
        if (text == "add/replace lib/libx.so.5._lzma2_")
            task.cancel();
    });
    const QStringList texts = run(task);
    EXPECT_EQ(texts.last(), "rolling back file updates");
    EXPECT_EQ(task.state, TaskSpecification::CANCELED);
    EXPECT_EQ(snapshot(path("client")), before);
}

TEST_F(FileReplaceListTest, PathsLeavingTheirDirectoriesAreRefusedBeforeAnythingChanges)
{
    const QString outside = makeDir("outside");
    writeFile("outside/victim", "keep");
    ASSERT_TRUE(QFile::link(outside, path("client/link")));
    ASSERT_TRUE(QFile::link(outside, path("temp/link")));
    const QList<ListEntry> bad = {entry("a", digest("x"), outside + "/victim"),
                                  entry("../outside/victim"),
                                  entry("x._lzma2_", digest("x"), "sub/../../outside/victim"),
                                  entry("link/victim", digest("x"), "fine.txt"),
                                  entry("bin/update", digest("x"), "bin/update", "../../outside/victim")};
    const QStringList expected = {"Starting file updates",
                                  QString("Refusing to replace '%1': it lies outside the client directory")
                                      .arg(outside + "/victim"),
                                  "Refusing to replace '../outside/victim': it lies outside the client directory",
                                  "Refusing to replace 'sub/../../outside/victim': it lies outside the client directory",
                                  "Refusing file name link/victim: it leads outside the temporary directory",
                                  "Refusing file name ../../outside/victim: it leads outside the temporary directory"};
    entries.append(bad);
    const QStringList before = snapshot(path("client"));
    const QStringList outsideBefore = snapshot(outside);
    FileReplaceListTaskSpecification task(&entries, &configuration, nullptr, 0.4);
    EXPECT_EQ(run(task), expected);
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    // Not even the folders of the sound entries were made.
    EXPECT_EQ(snapshot(path("client")), before);
    EXPECT_EQ(snapshot(outside), outsideBefore);
}

TEST_F(FileReplaceListTest, EmptyListFinishesAtOnce)
{
    const QList<ListEntry> none;
    FileReplaceListTaskSpecification task(&none, &configuration, nullptr, 0.4);
    EXPECT_EQ(run(task), QStringList("Starting file updates"));
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(task.progress, 0.4);
}

TEST_F(FileReplaceListTest, LinksOfTheClientsOwnLayoutAreFollowedAndRolledBack)
{
    // A data folder on another disk and a library reached through its soname link.
    const QString disk = makeDir("disk");
    writeFile("disk/readme.txt", "old readme");
    ASSERT_TRUE(QFile::link(disk, path("client/data")));
    setMode(writeFile("client/lib/libz.so.1.2", "old zlib"), 0644);
    ASSERT_TRUE(QFile::link("libz.so.1.2", path("client/lib/libz.so.1")));
    packed("readme._lzma2_", "new readme");
    packed("libz._lzma2_", "new zlib");
    writeFile("temp/data/sub/added.txt", "added");
    // The library is listed under both of its names: one write serves both.
    entries = {entry("readme._lzma2_", digest("new readme"), "data/readme.txt"),
               entry("libz._lzma2_", digest("new zlib"), "lib/libz.so.1"), entry("data/sub/added.txt"),
               entry("libz._lzma2_", digest("new zlib"), "lib/libz.so.1.2")};

    // A failing last entry undoes everything, on both disks.
    const QStringList clientBefore = snapshot(path("client"));
    const QStringList diskBefore = snapshot(disk);
    QList<ListEntry> failing = entries;
    failing.append(entry("libz._lzma2_", digest("something else"), "last.bin"));
    FileReplaceListTaskSpecification undone(&failing, &configuration, nullptr, 0.4);
    EXPECT_EQ(run(undone).last(), "rolling back file updates");
    EXPECT_EQ(undone.state, TaskSpecification::FAILED);
    EXPECT_EQ(snapshot(path("client")), clientBefore);
    EXPECT_EQ(snapshot(disk), diskBefore);

    // Two contents for one file cannot both be installed.
    QList<ListEntry> conflicting = entries;
    conflicting.last().sha512 = digest("another zlib");
    FileReplaceListTaskSpecification refused(&conflicting, &configuration, nullptr, 0.4);
    EXPECT_EQ(run(refused), (QStringList{"Starting file updates", "Refusing to replace 'lib/libz.so.1.2': "
                                                                  "'lib/libz.so.1' leads to the same file"}));
    EXPECT_EQ(snapshot(path("client")), clientBefore);

    FileReplaceListTaskSpecification task(&entries, &configuration, nullptr, 0.4);
    const QStringList texts = run(task);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED) << texts.join('\n').toStdString();
    EXPECT_TRUE(QFileInfo(path("client/data")).isSymLink());
    EXPECT_EQ(readFile(path("disk/readme.txt")), "new readme");
    EXPECT_EQ(readFile(path("disk/sub/added.txt")), "added");
    EXPECT_EQ(QFile::symLinkTarget(path("client/lib/libz.so.1")), path("client/lib/libz.so.1.2"));
    EXPECT_EQ(readFile(path("client/lib/libz.so.1.2")), "new zlib");
    // The soname asks for execute flags; the file behind the link gets them.
    EXPECT_EQ(mode(path("client/lib/libz.so.1.2")), 0755u);
    // Nothing of the step stays: no backups, no unfinished files, no record.
    EXPECT_EQ(snapshot(path("client")).filter(QRegularExpression("vl3_backup|vlpart")), QStringList());
    EXPECT_EQ(snapshot(disk).filter(QRegularExpression("vl3_backup|vlpart")), QStringList());
    EXPECT_FALSE(QFileInfo::exists(path("temp/replace.journal")));
}
