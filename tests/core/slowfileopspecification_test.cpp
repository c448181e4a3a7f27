#include "slowfileopspecification.h"
#include "privileges.h"
#include "releasetools.h"
#include "taskrun.h"
#include "tempdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <random>

namespace {

QByteArray noise(int size, unsigned seed)
{
    std::mt19937 gen(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(gen() & 0xff);
    return bytes;
}

class SlowFileOpTest : public TempDirTest {
protected:
    // Runs `task` on the pool until it ends; returns the texts it sent.
    QStringList run(SlowFileOpSpecification& task)
    {
        QSignalSpy ended(&task, &TaskSpecification::canceled);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        const QStringList texts = runToEnd(task);
        EXPECT_EQ(ended.count() + finished.count(), 1);
        return texts;
    }

    // `relative` + ".gz" made by the gzip tool from `content`.
    QString gzipped(const QString& relative, const QByteArray& content)
    {
        const QString plain = writeFile(relative, content);
        EXPECT_EQ(runCommand(QString("gzip -n -c '%1' > '%1.gz'").arg(plain)), 0) << "gzip is needed";
        return plain + ".gz";
    }

    // `relative` + "._lzma2_" packed by the patcher's own container writer.
    QString packed(const QString& relative, const QByteArray& content)
    {
        const QString plain = writeFile(relative, content);
        const QString container = plain + "._lzma2_";
        EXPECT_TRUE(packFile(plain, container));
        return container;
    }

    QString unzipFailure(const QString& src, const QString& dst)
    {
        return QString("Could not unzip '%1' to '%2'").arg(src, dst);
    }
};

} // namespace

TEST_F(SlowFileOpTest, CopyRecordsTheTargetAndRollbackRemovesIt)
{
    const QByteArray content = noise(70000, 1);
    const QString src = writeFile("src.bin", content);
    const QString dst = path("dst.bin");
    RollbackDataList list;
    FileCopyTaskSpecification task(&list, src, dst, nullptr, 0.5);
    EXPECT_TRUE(run(task).isEmpty());
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(task.progress, 0.5);
    EXPECT_EQ(readFile(dst), content);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list.at(0).op, RollbackData::FILE_CREATE);
    EXPECT_EQ(list.at(0).path, dst);

    EXPECT_TRUE(list.rollback(nullptr));
    EXPECT_FALSE(QFile::exists(dst));
    EXPECT_EQ(readFile(src), content);
}

TEST_F(SlowFileOpTest, CopyNeverOverwritesAndRecordsNothingOnFailure)
{
    // A path may hold what looks like a placeholder; the text must still name both paths.
    const QString src = writeFile("new%2.txt", "new");
    const QString dst = writeFile("dst.txt", "old");
    RollbackDataList list;
    FileCopyTaskSpecification onto(&list, src, dst, nullptr, 1.0);
    EXPECT_EQ(run(onto), QStringList(QString("Could not copy '%1' to '%2'").arg(src, dst)));
    EXPECT_EQ(onto.state, TaskSpecification::FAILED);
    EXPECT_EQ(readFile(dst), QByteArray("old"));
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(SlowFileOpTest, GunzipsWhatTheGzipToolMade)
{
    // One block exactly, several blocks, and an empty file.
    for (int size : {16384, 100000, 0}) {
        const QByteArray content = noise(size, unsigned(size));
        const QString src = gzipped(QString("plain%1").arg(size), content);
        const QString dst = path(QString("out%1").arg(size));
        RollbackDataList list;
        FileUnpackTaskSpecification_zip task(&list, src, dst, nullptr, 1.0);
        EXPECT_TRUE(run(task).isEmpty()) << size;
        EXPECT_EQ(task.state, TaskSpecification::FINISHED) << size;
        EXPECT_EQ(readFile(dst), content) << size;
        ASSERT_EQ(list.size(), 1);
        EXPECT_EQ(list.at(0).path, dst);
    }

    // Concatenated members unpack to the concatenation, as gzip -d gives.
    const QString a = gzipped("a", "first part,");
    const QString b = gzipped("b", "second part");
    const QString both = writeFile("both.gz", readFile(a) + readFile(b));
    FileUnpackTaskSpecification_zip joined(nullptr, both, path("joined"), nullptr, 1.0);
    run(joined);
    EXPECT_EQ(readFile(path("joined")), QByteArray("first part,second part"));
}

TEST_F(SlowFileOpTest, GunzipReplacesAnExistingTargetAndKeepsItsMode)
{
    const QByteArray content = noise(40000, 7);
    const QString src = gzipped("new", content);
    const QString dst = writeFile("installed", QByteArray(90000, 'o'));
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                    QFile::ExeGroup;
    ASSERT_TRUE(QFile::setPermissions(dst, mode));
    FileUnpackTaskSpecification_zip task(nullptr, src, dst, nullptr, 1.0);
    EXPECT_TRUE(run(task).isEmpty());
    EXPECT_EQ(readFile(dst), content);
    // Owner, group and others; the "user" flags only repeat the owner's for the test's own user.
    EXPECT_EQ(QFile::permissions(dst) & 0x7077, mode);
}

TEST_F(SlowFileOpTest, BrokenGzipFailsAndLeavesTheTargetAsItWas)
{
    const QByteArray content = noise(100000, 3);
    const QByteArray packed = readFile(gzipped("good", content));
    ASSERT_GT(packed.size(), 1000);

    QByteArray badCrc = packed;
    badCrc[badCrc.size() - 8] = char(badCrc[badCrc.size() - 8] ^ 0x55);
    QByteArray badData = packed;
    badData[packed.size() / 2] = char(badData[packed.size() / 2] ^ 0xff);
    const QList<QPair<QString, QByteArray>> broken = {
        {"truncated.gz", packed.left(packed.size() / 2)},    // zlib's read ends without a negative count
        {"header-only.gz", packed.left(10)},
        {"bad-crc.gz", badCrc},
        {"bad-data.gz", badData},
        {"magic-only.gz", packed.left(2)},
    };
    for (const auto& [name, bytes] : broken) {
        const QString src = writeFile(name, bytes);
        const QString fresh = path(name + ".fresh");
        FileUnpackTaskSpecification_zip toFresh(nullptr, src, fresh, nullptr, 1.0);
        EXPECT_EQ(run(toFresh), QStringList(unzipFailure(src, fresh))) << name.toStdString();
        EXPECT_EQ(toFresh.state, TaskSpecification::FAILED) << name.toStdString();
        EXPECT_FALSE(QFile::exists(fresh)) << name.toStdString();

        const QString installed = writeFile(name + ".installed", "the installed file");
        RollbackDataList list;
        FileUnpackTaskSpecification_zip over(&list, src, installed, nullptr, 1.0);
        EXPECT_EQ(run(over), QStringList(unzipFailure(src, installed))) << name.toStdString();
        EXPECT_EQ(readFile(installed), QByteArray("the installed file")) << name.toStdString();
        EXPECT_TRUE(list.isEmpty());
    }

    // A missing source does not touch the target either.
    const QString installed = writeFile("kept", "kept");
    FileUnpackTaskSpecification_zip missing(nullptr, path("missing.gz"), installed, nullptr, 1.0);
    EXPECT_EQ(run(missing), QStringList(unzipFailure(path("missing.gz"), installed)));
    EXPECT_EQ(readFile(installed), QByteArray("kept"));
}

TEST_F(SlowFileOpTest, FilesThatAreNotGzipAreCopiedUnchanged)
{
    // Releases may ship a plain file under a packed name; what it holds is judged by the digest
    // check that follows every unpack.
    const QList<QPair<QString, QByteArray>> plain = {
        {"text.gz", QByteArray("plain text, no gzip header")},
        {"noise.gz", QByteArray("\x1f\x8a", 2) + noise(50000, 9)},
        {"one-byte.gz", QByteArray("\x1f", 1)},
        {"empty.gz", QByteArray()},
    };
    for (const auto& [name, bytes] : plain) {
        const QString src = writeFile(name, bytes);
        const QString installed = writeFile(name + ".installed", "the installed file");
        RollbackDataList list;
        FileUnpackTaskSpecification_zip task(&list, src, installed, nullptr, 1.0);
        EXPECT_TRUE(run(task).isEmpty()) << name.toStdString();
        EXPECT_EQ(task.state, TaskSpecification::FINISHED) << name.toStdString();
        EXPECT_EQ(readFile(installed), bytes) << name.toStdString();
        EXPECT_EQ(list.size(), 1) << name.toStdString();
    }
}

TEST_F(SlowFileOpTest, WritesIntoReadOnlyDirectoryFail)
{
    if (rerunCurrentTestAsNobody())
        return;
    const QString copySrc = writeFile("src.txt", "data");
    const QString gzipSrc = gzipped("src", "data");
    const QString locked = makeDir("locked");
    ASSERT_TRUE(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    RollbackDataList list;
    FileCopyTaskSpecification copy(&list, copySrc, path("locked/copy"), nullptr, 1.0);
    EXPECT_EQ(run(copy), QStringList(QString("Could not copy '%1' to '%2'").arg(copySrc, path("locked/copy"))));
    EXPECT_EQ(copy.state, TaskSpecification::FAILED);
    FileUnpackTaskSpecification_zip gunzip(&list, gzipSrc, path("locked/gunzip"), nullptr, 1.0);
    EXPECT_EQ(run(gunzip), QStringList(unzipFailure(gzipSrc, path("locked/gunzip"))));
    EXPECT_TRUE(list.isEmpty());
    EXPECT_TRUE(QDir(locked).isEmpty());
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(SlowFileOpTest, UnpacksContainersAndRecordsTheTarget)
{
    // A data file, and a real executable, which the writer packs as encoded programs.
    QFile program("/usr/bin/true");
    ASSERT_TRUE(program.open(QIODevice::ReadOnly)) << "coreutils' /usr/bin/true is needed";
    const QList<QPair<QString, QByteArray>> inputs = {{"data", noise(200000, 11)}, {"true", program.readAll()}};
    for (const auto& [name, content] : inputs) {
        const QString src = packed(name, content);
        const QString dst = path(name + ".unpacked");
        RollbackDataList list;
        FileUnpackTaskSpecification_lzma2 task(&list, src, dst, content.size(), nullptr, 1.0);
        EXPECT_TRUE(run(task).isEmpty()) << name.toStdString();
        EXPECT_EQ(task.state, TaskSpecification::FINISHED) << name.toStdString();
        EXPECT_EQ(readFile(dst), content) << name.toStdString();
        ASSERT_EQ(list.size(), 1);
        EXPECT_EQ(list.at(0).op, RollbackData::FILE_CREATE);
        EXPECT_EQ(list.at(0).path, dst);
        EXPECT_TRUE(list.rollback(nullptr));
        EXPECT_FALSE(QFile::exists(dst));
    }
}

TEST_F(SlowFileOpTest, BrokenContainerFailsWithoutWritingTheTarget)
{
    const QByteArray content = noise(50000, 5);
    const QByteArray good = readFile(packed("good", content));
    ASSERT_GT(good.size(), 100);
    QByteArray flipped = good;
    flipped[good.size() / 2] = char(flipped[good.size() / 2] ^ 0x20);
    QByteArray wrongCrc = good;
    wrongCrc[4] = char(wrongCrc[4] ^ 0x01); // the first byte of the CRC varint
    const QList<QPair<QString, QByteArray>> broken = {
        {"flipped._lzma2_", flipped}, {"crc._lzma2_", wrongCrc}, {"cut._lzma2_", good.left(good.size() - 20)}};
    for (const auto& [name, bytes] : broken) {
        const QString src = writeFile(name, bytes);
        const QString installed = writeFile(name + ".installed", "installed");
        RollbackDataList list;
        FileUnpackTaskSpecification_lzma2 task(&list, src, installed, content.size(), nullptr, 1.0);
        EXPECT_EQ(run(task), QStringList(QString("Could not unpack '%1' to '%2'").arg(src, installed)))
            << name.toStdString();
        EXPECT_EQ(task.state, TaskSpecification::FAILED);
        EXPECT_EQ(readFile(installed), QByteArray("installed")) << name.toStdString();
        EXPECT_TRUE(list.isEmpty());
        // The broken container goes, so that the next start fetches it again.
        EXPECT_FALSE(QFile::exists(src)) << name.toStdString();
    }
    // Nothing of the failed writes is left beside the targets.
    EXPECT_TRUE(QDir(path()).entryList({"*.vlpart-*"}, QDir::Files | QDir::Hidden).isEmpty());
    FileUnpackTaskSpecification_lzma2 missing(nullptr, path("missing._lzma2_"), path("out"), 1000, nullptr, 1.0);
    EXPECT_EQ(run(missing).size(), 1);
    EXPECT_FALSE(QFile::exists(path("out")));
}
