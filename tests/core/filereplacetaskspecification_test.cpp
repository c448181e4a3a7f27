#include "filereplacetaskspecification.h"
#include "filereplacetest.h"
#include "writefailure.h"

#include <QDir>

#include <random>

namespace {

QByteArray noise(int size)
{
    std::mt19937 gen(7);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(gen() & 0xff);
    return bytes;
}

} // namespace

TEST_F(FileReplaceTest, PlainEntryCopiesANewFileButNeverOverwrites)
{
    writeFile("temp/data/a.txt", "new file");
    makeDir("client/data");
    RollbackDataList parentList;
    FileReplaceTaskSpecification add(entry("data/a.txt", QString(), QString(), "ignored.patch"), &parentList,
                                     &configuration, nullptr, 0.5);
    EXPECT_EQ(run(add), QStringList("add/replace data/a.txt"));
    EXPECT_EQ(add.state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(path("client/data/a.txt")), "new file");
    ASSERT_EQ(parentList.size(), 1);
    EXPECT_EQ(parentList.at(0).op, RollbackData::FILE_CREATE);

    writeFile("temp/b.txt", "new file");
    const QString installed = writeFile("client/b.txt", "installed");
    FileReplaceTaskSpecification replace(entry("b.txt", QString(), QString()), &parentList, &configuration, nullptr,
                                         0.5);
    EXPECT_EQ(run(replace), QStringList({"add/replace b.txt",
                                         QString("Could not copy '%1' to '%2'").arg(path("temp/b.txt"), installed)}));
    EXPECT_EQ(replace.state, TaskSpecification::FAILED);
    EXPECT_EQ(readFile(installed), "installed");
    EXPECT_EQ(parentList.size(), 1);
}

TEST_F(FileReplaceTest, PatchesAnInstalledProgramAndHandsOverHowToPutItBack)
{
    const QByteArray oldProgram = program("/usr/bin/true");
    const QByteArray newProgram = program("/usr/bin/false");
    const QString installed = writeFile("client/bin/update", oldProgram);
    setMode(installed, 0644);
    patch("update.patch", oldProgram, newProgram);
    RollbackDataList parentList;
    FileReplaceTaskSpecification task(entry("bin/update", digest(newProgram), "bin/update", "update.patch"),
                                      &parentList, &configuration, nullptr, 1.0);
    EXPECT_EQ(run(task), QStringList({"add/replace bin/update", "Patching bin/update"}));
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(installed), newProgram);
    // The name asks for execute flags: added where reading was allowed, and nobody may write.
    EXPECT_EQ(mode(installed), 0755u);
    EXPECT_EQ(readFile(path("temp/bin/update_old")), oldProgram);

    // The list above undoes the step from this record: the backup is renamed over the new file.
    ASSERT_EQ(parentList.size(), 1);
    EXPECT_EQ(parentList.at(0).op, RollbackData::FILE_RENAME);
    EXPECT_TRUE(parentList.rollback(nullptr));
    EXPECT_EQ(readFile(installed), oldProgram);
    EXPECT_EQ(mode(installed), 0644u);
}

TEST_F(FileReplaceTest, UnpackKeepsTheModeOfTheFileItReplaces)
{
    const QString installed = writeFile("client/tool.sh", "#!/bin/sh\nexit 1\n");
    setMode(installed, 0750);
    packed("tool.sh._lzma2_", "#!/bin/sh\nexit 0\n");
    RollbackDataList parentList;
    FileReplaceTaskSpecification task(entry("tool.sh._lzma2_", digest("#!/bin/sh\nexit 0\n"), "tool.sh"),
                                      &parentList, &configuration, nullptr, 1.0);
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(installed), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(mode(installed), 0750u);
}

TEST_F(FileReplaceTest, FailedReplacementBringsTheInstalledFileBack)
{
    const QByteArray oldProgram = program("/usr/bin/true");
    const QByteArray newProgram = program("/usr/bin/false");
    const QString lib = writeFile("client/lib/libx.so.5", "installed library");
    setMode(lib, 0750);
    const QString prog = writeFile("client/bin/update", oldProgram + "local change");
    writeFile("temp/data.bin.gz", "\x1f\x8b gzip data cut short");
    packed("libx.so.5._lzma2_", "new library");
    patch("update.patch", oldProgram, newProgram);
    const QString dataTarget = path("client/data.bin");

    struct Case {
        ListEntry entry;
        QString text;
    };
    const QList<Case> cases = {
        {entry("libx.so.5._lzma2_", digest("another library"), "lib/libx.so.5"),
         QString("Signature check failed for %1").arg(lib)},
        // The installed program is not the one the patch was made from.
        {entry("bin/update", digest(newProgram), "bin/update", "update.patch"),
         QString("Could not patch '%1' to '%2'").arg(path("temp/bin/update_old"), prog)},
        {entry("data.bin.gz", digest("x"), "data.bin"),
         QString("Could not unzip '%1' to '%2'").arg(path("temp/data.bin.gz"), dataTarget)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry.key.toStdString());
        const QStringList before = snapshot(path("client"));
        RollbackDataList parentList;
        FileReplaceTaskSpecification task(c.entry, &parentList, &configuration, nullptr, 1.0);
        EXPECT_TRUE(run(task).contains(c.text));
        EXPECT_EQ(task.state, TaskSpecification::FAILED);
        EXPECT_EQ(snapshot(path("client")), before);
        EXPECT_TRUE(parentList.isEmpty());
    }
}

TEST_F(FileReplaceTest, WriteCutShortByAFullDiskLeavesNoPieceBehind)
{
    const QByteArray content = noise(256 * 1024);
    packed("big.bin._lzma2_", content);
    writeFile("client/big.bin", "installed");
    const QStringList before = snapshot(path("client"));
    for (const QString& target : {QString("big.bin"), QString("fresh.bin")}) {
        SCOPED_TRACE(target.toStdString());
        FileReplaceTaskSpecification task(entry("big.bin._lzma2_", digest(content), target), nullptr,
                                          &configuration, nullptr, 1.0);
        QStringList texts;
        {
            FileSizeLimit limit(64 * 1024);
            texts = run(task);
        }
        EXPECT_TRUE(texts.contains(QString("Could not unpack '%1' to '%2'")
                                       .arg(path("temp/big.bin._lzma2_"), path("client/" + target))));
        EXPECT_EQ(task.state, TaskSpecification::FAILED);
        EXPECT_EQ(snapshot(path("client")), before);
    }
}

TEST_F(FileReplaceTest, ExecutableFlagsFollowTheNameOrTheCompleteSuffix)
{
    const QStringList qualify = {"vl3client_runscript.sh", "sub/update", "libz.so", "libz.so.0", "a.so.5",
                                 "QtWebEngineProcess"};
    const QStringList others = {"Update", "a.b.so", "libz.so.5.12", "update.sh", "so"};
    for (const QString& name : qualify + others) {
        const QString file = writeFile("client/" + name, "x");
        setMode(file, 0644);
        FileReplaceTaskSpecification::makeSingleFileExecutable(file);
        EXPECT_EQ(mode(file), qualify.contains(name) ? 0755u : 0644u) << name.toStdString();
    }
    // A private file stays private.
    const QString own = writeFile("client/own/update", "x");
    setMode(own, 0600);
    FileReplaceTaskSpecification::makeSingleFileExecutable(own);
    EXPECT_EQ(mode(own), 0700u);
}

TEST_F(FileReplaceTest, FolderStandingAtTheTargetFailsTheWriteAndStays)
{
    makeDir("client/plugins");
    writeFile("client/plugins/kept", "kept");
    packed("plugins._lzma2_", "a file");
    const QStringList before = snapshot(path("client"));
    FileReplaceTaskSpecification task(entry("plugins._lzma2_", digest("a file"), "plugins"), nullptr, &configuration,
                                      nullptr, 1.0);
    // The folder was there before the write: failing, the step has nothing of its own to undo.
    EXPECT_EQ(run(task), QStringList({"add/replace plugins._lzma2_",
                                      QString("Could not unpack '%1' to '%2'")
                                          .arg(path("temp/plugins._lzma2_"), path("client/plugins"))}));
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_EQ(snapshot(path("client")), before);
}
