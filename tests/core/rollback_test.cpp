#include "rollback.h"
#include "tempdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

class Receiver : public QObject {
    Q_OBJECT
signals:
    void message(QString text);
};

class RollbackTest : public TempDirTest {
};

} // namespace

TEST_F(RollbackTest, UndoesNewestFirstAndTriesEveryRecord)
{
    // A created directory, a file inside it, and a second file whose removal fails because a
    // directory now stands at its path (removal fails even for root).
    const QString dir = makeDir("made");
    const QString file1 = writeFile("made/one.txt", "1");
    const QString blocker = makeDir("made/two.txt/inner");

    RollbackDataList list;
    list.add(RollbackData(RollbackData::DIR_CREATE, dir));
    list.add(RollbackData(RollbackData::FILE_CREATE, file1));
    list.add(RollbackData(RollbackData::FILE_CREATE, path("made/two.txt")));

    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    EXPECT_FALSE(list.rollback(&receiver));

    EXPECT_TRUE(list.isEmpty());
    EXPECT_FALSE(QFile::exists(file1)) << "the failure of a later record must not stop the others";
    EXPECT_TRUE(QFileInfo::exists(blocker));
    ASSERT_EQ(messages.count(), 2);
    EXPECT_EQ(messages.at(0).at(0).toString(),
              QString("warning: rollback create file %1 failed").arg(path("made/two.txt")));
    EXPECT_EQ(messages.at(1).at(0).toString(), QString("warning: rollback create dir %1 failed").arg(dir));
}

TEST_F(RollbackTest, FullUndoRemovesFilesBeforeTheirDirectories)
{
    const QString outer = makeDir("a");
    const QString inner = makeDir("a/b");
    const QString file = writeFile("a/b/f", "x");
    RollbackDataList list;
    list.add(RollbackData(RollbackData::DIR_CREATE, outer));
    list.add(RollbackData(RollbackData::DIR_CREATE, inner));
    RollbackDataList later;
    later.add(RollbackData(RollbackData::FILE_CREATE, file));
    list.append(later);
    ASSERT_EQ(list.size(), 3);

    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    EXPECT_TRUE(list.rollback(&receiver));
    EXPECT_EQ(messages.count(), 0);
    EXPECT_FALSE(QFileInfo::exists(outer));
    EXPECT_TRUE(list.isEmpty());
    EXPECT_TRUE(list.rollback(&receiver)) << "an empty list undoes nothing and succeeds";
}

TEST_F(RollbackTest, RenameIsUndoneAndItsFailureNamesOldThenNew)
{
    const QString a = writeFile("a", "content");
    const QString b = path("b");
    ASSERT_TRUE(QFile::rename(a, b));
    RollbackData rename(RollbackData::FILE_RENAME, a, b);
    Receiver receiver;
    QSignalSpy messages(&receiver, &Receiver::message);
    EXPECT_TRUE(rename.rollback(&receiver));
    EXPECT_EQ(readFile(a), QByteArray("content"));
    EXPECT_FALSE(QFile::exists(b));

    // Now "b" is gone, so a second undo fails.
    EXPECT_FALSE(rename.rollback(&receiver));
    ASSERT_EQ(messages.count(), 1);
    EXPECT_EQ(messages.at(0).at(0).toString(), QString("warning: rollback rename %1 to %2 failed").arg(a, b));
}

TEST_F(RollbackTest, ReceiverWithoutMessageSignalOrNoReceiverGetsNothing)
{
    QObject plain;
    RollbackDataList list;
    list.add(RollbackData(RollbackData::FILE_CREATE, path("missing")));
    list.add(RollbackData(RollbackData::FILE_CREATE, path("missing2")));
    EXPECT_FALSE(list.rollback(&plain));
    list.add(RollbackData(RollbackData::FILE_CREATE, path("missing")));
    EXPECT_FALSE(list.rollback(nullptr));
    EXPECT_TRUE(list.isEmpty());
}

TEST(RollbackDeathTest, WrongOperationForConstructorEndsTheProcess)
{
    EXPECT_DEATH(RollbackData(RollbackData::FILE_CREATE, "a", "b"), "op==FILE_RENAME");
    EXPECT_DEATH(RollbackData(RollbackData::FILE_RENAME, "a"), "op!=FILE_RENAME");
}

#include "rollback_test.moc"
