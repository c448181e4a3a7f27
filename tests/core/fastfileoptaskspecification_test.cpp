#include "fastfileoptaskspecification.h"
#include "privileges.h"
#include "taskrun.h"
#include "tempdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

class FastFileOpTest : public TempDirTest {
protected:
    // Runs `task` and returns the texts it sent; the task must have ended inside execute().
    QStringList run(TaskSpecification& task)
    {
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        EXPECT_TRUE(task.hasEnded());
        return spiedTexts(messages);
    }
};

} // namespace

TEST_F(FastFileOpTest, CreateDirMakesMissingLevelsOutermostFirstAndRecordsThem)
{
    makeDir("one");
    RollbackDataList list;
    DirCreateTaskSpecification task(path("one/two/three"), &list, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    EXPECT_TRUE(run(task).isEmpty());
    EXPECT_EQ(finished.count(), 1);
    EXPECT_TRUE(QFileInfo(path("one/two/three")).isDir());
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list.at(0).path, path("one/two"));
    EXPECT_EQ(list.at(0).op, RollbackData::DIR_CREATE);
    EXPECT_EQ(list.at(1).path, path("one/two/three"));

    // An existing directory is fine and is not recorded.
    DirCreateTaskSpecification again(path("one/two"), &list, nullptr, 1.0);
    run(again);
    EXPECT_EQ(again.state, TaskSpecification::FINISHED);
    EXPECT_EQ(list.size(), 2);

    EXPECT_TRUE(list.rollback(nullptr));
    EXPECT_FALSE(QFileInfo::exists(path("one/two")));
    EXPECT_TRUE(QFileInfo(path("one")).isDir());
}

TEST_F(FastFileOpTest, CreateDirFailureTexts)
{
    writeFile("file", "x");
    RollbackDataList list;

    DirCreateTaskSpecification throughFile(path("file/sub/leaf"), &list, nullptr, 1.0);
    EXPECT_EQ(run(throughFile),
              QStringList(QString("Could not create dir '%1' because it already exists and is not a dir")
                              .arg(path("file"))));
    EXPECT_EQ(throughFile.state, TaskSpecification::FAILED);

    DirCreateTaskSpecification relative("no_such_relative_dir_here", &list, nullptr, 1.0);
    EXPECT_EQ(run(relative), QStringList("Could not create dir no_such_relative_dir_here"));
    EXPECT_EQ(relative.state, TaskSpecification::FAILED);
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(FastFileOpTest, CreateDirWithoutPermissionFailsAndRecordsNothing)
{
    if (rerunCurrentTestAsNobody())
        return;
    const QString locked = makeDir("locked");
    ASSERT_TRUE(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    RollbackDataList list;
    DirCreateTaskSpecification task(path("locked/a/b"), &list, nullptr, 1.0);
    EXPECT_EQ(run(task), QStringList(QString("unable to create dir %1").arg(path("locked/a"))));
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_TRUE(list.isEmpty());
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(FastFileOpTest, DeleteFileAndDirectoryKinds)
{
    const QString file = writeFile("f.txt", "x");
    FileDeleteTaskSpecification delFile(true, file, false, nullptr, 1.0);
    EXPECT_EQ(run(delFile), QStringList(QString("Deleted file '%1'").arg(file)));
    EXPECT_FALSE(QFile::exists(file));

    // A missing file counts as deleted unless the deletion must succeed.
    FileDeleteTaskSpecification missingOptional(false, file, false, nullptr, 1.0);
    EXPECT_TRUE(run(missingOptional).isEmpty());
    EXPECT_EQ(missingOptional.state, TaskSpecification::FINISHED);
    FileDeleteTaskSpecification missingRequired(true, file, false, nullptr, 1.0);
    EXPECT_EQ(run(missingRequired), QStringList(QString("Could not delete '%1'").arg(file)));
    EXPECT_EQ(missingRequired.state, TaskSpecification::FAILED);

    // A non-empty directory is not removed without `recursive`.
    writeFile("tree/sub/leaf", "x");
    FileDeleteTaskSpecification nonRecursive(false, path("tree"), false, nullptr, 1.0);
    EXPECT_TRUE(run(nonRecursive).isEmpty());
    EXPECT_EQ(nonRecursive.state, TaskSpecification::FINISHED);
    EXPECT_TRUE(QFileInfo::exists(path("tree/sub/leaf")));
    FileDeleteTaskSpecification nonRecursiveRequired(true, path("tree"), false, nullptr, 1.0);
    EXPECT_EQ(run(nonRecursiveRequired), QStringList(QString("Could not delete '%1'").arg(path("tree"))));

    FileDeleteTaskSpecification recursive(true, path("tree"), true, nullptr, 1.0);
    EXPECT_EQ(run(recursive), QStringList(QString("Recursively deleted directory '%1'").arg(path("tree"))));
    EXPECT_FALSE(QFileInfo::exists(path("tree")));

    // rmpath removes empty parents as well.
    makeDir("empty/inner");
    FileDeleteTaskSpecification emptyDir(true, path("empty/inner"), false, nullptr, 1.0);
    EXPECT_EQ(run(emptyDir), QStringList(QString("Deleted directory '%1'").arg(path("empty/inner"))));
    EXPECT_FALSE(QFileInfo::exists(path("empty")));
}

TEST_F(FastFileOpTest, RecursiveDeleteOfALinkToADirectoryRemovesOnlyTheLink)
{
    const QString target = writeFile("precious/data.txt", "keep me");
    const QString link = path("client/link");
    makeDir("client");
    // A trailing separator or "/." makes the file system resolve the link; the link is still meant.
    for (const QString& spelling : {link, link + "/", link + "/."}) {
        ASSERT_TRUE(QFile::link(path("precious"), link));
        FileDeleteTaskSpecification task(true, spelling, true, nullptr, 1.0);
        run(task);
        EXPECT_EQ(task.state, TaskSpecification::FINISHED) << spelling.toStdString();
        EXPECT_FALSE(QFileInfo(link).isSymLink()) << spelling.toStdString();
        EXPECT_EQ(readFile(target), QByteArray("keep me")) << spelling.toStdString();
        QFile::remove(link);
    }
}

TEST_F(FastFileOpTest, RequiredDeleteInAReadOnlyDirectoryFails)
{
    if (rerunCurrentTestAsNobody())
        return;
    const QString dir = makeDir("ro");
    const QString file = writeFile("ro/file", "x");
    ASSERT_TRUE(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    FileDeleteTaskSpecification task(true, file, false, nullptr, 1.0);
    EXPECT_EQ(run(task), QStringList(QString("Could not delete '%1'").arg(file)));
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_TRUE(QFile::exists(file));
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

TEST_F(FastFileOpTest, RenameRecordsAndUndoes)
{
    const QString from = writeFile("old.txt", "payload");
    const QString to = path("newdir/new.txt");
    RollbackDataList list;
    FileRenameTaskSpecification task(from, to, &list, nullptr, 1.0);
    EXPECT_TRUE(run(task).isEmpty());
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_EQ(readFile(to), QByteArray("payload"));
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list.at(0).op, RollbackData::FILE_RENAME);
    EXPECT_TRUE(list.rollback(nullptr));
    EXPECT_EQ(readFile(from), QByteArray("payload"));

    FileRenameTaskSpecification missing(path("nothing"), to, &list, nullptr, 1.0);
    EXPECT_EQ(run(missing), QStringList(QString("Could not rename '%1' to '%2'").arg(path("nothing"), to)));
    EXPECT_EQ(missing.state, TaskSpecification::FAILED);
    EXPECT_TRUE(list.isEmpty());
}
