#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "taskrun.h"
#include "tempdir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

// The client directory is "client" inside the test's directory; "outside" stands beside it.
class FileDeleteListTest : public TempDirTest {
protected:
    void SetUp() override { configuration.vl3dir = makeDir("client"); }

    // Runs the list to its end and returns its texts.
    static QStringList run(FileDeleteListTaskSpecification& task) { return runToEnd(task); }

    Configuration configuration;
};

} // namespace

TEST_F(FileDeleteListTest, EmptyListFinishesAtOnce)
{
    const QList<DeleteEntry> entries;
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 0.4);
    EXPECT_EQ(run(task), QStringList("Starting deleting files"));
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(task.progress, 0.4);
}

TEST_F(FileDeleteListTest, DeletesInOrderSkipsMissingAndStepsProgress)
{
    writeFile("client/old.so", "x");
    writeFile("client/plugins/a/b.dat", "x");
    makeDir("client/empty/inner");
    const QList<DeleteEntry> entries{{"old.so", false}, {"gone.txt", false}, {"plugins", true}, {"empty/inner", false}};
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 0.6);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    EXPECT_EQ(run(task), QStringList({"Starting deleting files",
                                      QString("Deleted file '%1'").arg(path("client/old.so")),
                                      QString("Recursively deleted directory '%1'").arg(path("client/plugins")),
                                      QString("Deleted directory '%1'").arg(path("client/empty/inner"))}));
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_FALSE(QFileInfo::exists(path("client/old.so")));
    EXPECT_FALSE(QFileInfo::exists(path("client/plugins")));
    // The emptied parent goes along, but not the client directory, though it is empty now.
    EXPECT_FALSE(QFileInfo::exists(path("client/empty")));
    EXPECT_TRUE(QFileInfo(path("client")).isDir());

    // Four subtasks at a quarter each: the list steps through quarters of its own weight, and the
    // last step is repeated by the list's own finish.
    QList<qreal> seen;
    for (const QList<QVariant>& args : progress)
        if (args.at(0).toReal() != 0.0)
            seen << args.at(0).toReal();
    const QList<qreal> expected{0.15, 0.3, 0.45, 0.6, 0.6};
    ASSERT_EQ(seen.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(seen.at(i), expected.at(i)) << i;
}

TEST_F(FileDeleteListTest, RefusesEntriesThatLeaveTheClientDirectory)
{
    const QString victim = writeFile("outside/victim", "keep");
    writeFile("outside/tree/file", "keep");
    writeFile("client/lib/obsolete", "x");
    ASSERT_TRUE(QFile::link(path("outside"), path("client/linkdir")));
    // A sibling whose name begins with the client directory's, as numbered folders are.
    const QString sibling = writeFile("client10/victim", "keep");
    ASSERT_TRUE(QFile::link(path("client10"), path("client/numbered")));
    ASSERT_TRUE(QFile::link(path("nowhere"), path("client/dangling")));
    ASSERT_TRUE(QFile::link("lib", path("client/liblink")));
    // The client directory itself may be reached through a link.
    ASSERT_TRUE(QFile::link(path("client"), path("clientlink")));
    configuration.vl3dir = path("clientlink");

    const QStringList refused{victim, "../outside/victim", "sub/../../outside/victim", "linkdir/victim", "linkdir/tree",
                              ".",    "",                  "./",                       "dangling/x",
                              "numbered/victim"};
    QList<DeleteEntry> entries;
    for (const QString& entry : refused)
        entries.append({entry, true});
    // A link that stays inside is a path like any other; a missing path is skipped quietly.
    entries.append({"not/there", false});
    entries.append({"liblink/obsolete", false});
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 1.0);

    QStringList expected("Starting deleting files");
    for (const QString& entry : refused)
        expected << QString("Refusing to delete '%1': it lies outside the client directory").arg(entry);
    expected << QString("Deleted file '%1'").arg(path("clientlink/liblink/obsolete"));
    EXPECT_EQ(run(task), expected);

    // Refusals do not fail the list; the sound entries were still handled.
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(task.progress, 1.0);
    EXPECT_EQ(readFile(victim), QByteArray("keep"));
    EXPECT_EQ(readFile(sibling), QByteArray("keep"));
    EXPECT_EQ(readFile(path("outside/tree/file")), QByteArray("keep"));
    EXPECT_TRUE(QFileInfo(path("client/linkdir")).isSymLink());
    EXPECT_TRUE(QFileInfo(path("client")).isDir());
    EXPECT_FALSE(QFileInfo::exists(path("client/lib/obsolete")));
}

// An entry that names a symbolic link removes the link, wherever it leads; what it leads to stays.
TEST_F(FileDeleteListTest, LinksNamedByEntriesAreRemovedNotFollowed)
{
    writeFile("outside/victim", "keep");
    writeFile("outside/tree/file", "keep");
    writeFile("client/lib/libvl.so.1", "keep");
    const struct {
        const char* entry;
        const char* target;
        bool recursive;
    } links[] = {
        {"libvl.so", "client/lib/libvl.so.1", false},
        {"plugins", "client/lib", false},
        {"plugins.all/", "client/lib", true},
        {"victim", "outside/victim", false},
        {"data", "outside/tree", false},
        {"self", "client", true},
        {"dangling", "nowhere", false},
    };
    QList<DeleteEntry> entries;
    QStringList expected("Starting deleting files");
    for (const auto& l : links) {
        ASSERT_TRUE(QFile::link(path(l.target), path("client/" + QDir::cleanPath(l.entry))));
        entries.append({l.entry, l.recursive});
        expected << QString("Deleted file '%1'").arg(path(QString("client/") + l.entry));
    }
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 1.0);
    EXPECT_EQ(run(task), expected);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
    for (const auto& l : links) {
        const QFileInfo link(path("client/" + QDir::cleanPath(l.entry)));
        EXPECT_FALSE(link.exists() || link.isSymLink()) << l.entry;
    }
    EXPECT_EQ(readFile(path("client/lib/libvl.so.1")), QByteArray("keep"));
    EXPECT_EQ(readFile(path("outside/victim")), QByteArray("keep"));
    EXPECT_EQ(readFile(path("outside/tree/file")), QByteArray("keep"));
}

TEST_F(FileDeleteListTest, CancelBetweenDeletionsEndsCanceled)
{
    writeFile("client/one", "x");
    writeFile("client/two", "x");
    writeFile("client/three", "x");
    const QList<DeleteEntry> entries{{"one", false}, {"two", false}, {"three", false}};
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 1.0);
    // The deletion of "one" has ended inside its own start; the cancel reaches the next start.
    QObject::connect(&task, &TaskSpecification::message, [&](const QString& text) {
        if (text.endsWith("/one'"))
            task.cancel();
    });
    run(task);
    EXPECT_EQ(task.state, TaskSpecification::CANCELED);
    EXPECT_FALSE(QFileInfo::exists(path("client/one")));
    EXPECT_TRUE(QFileInfo::exists(path("client/two")));
    EXPECT_TRUE(QFileInfo::exists(path("client/three")));
}
