// The root task of a stage: which steps each stage builds, in which order and with which weights,
// and that a reset starts again from empty lists and new steps.
#include "maintaskspecification.h"

#include "configuration.h"
#include "qtwait.h"
#include "tempdir.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

class InspectedMainTask : public MainTaskSpecification {
public:
    using MainTaskSpecification::MainTaskSpecification;
    const QList<TaskSpecification*>& subtasks() const { return tasks; }
    UpdateLists& plan() { return const_cast<UpdateLists&>(lists()); }
};

class MainTaskTest : public TempDirTest {
protected:
    void SetUp() override
    {
        config.version = 3100;
        config.tempDir = makeDir("session");
        config.vl3dir = makeDir("client");
    }

    // "Class weight" per step.
    static QStringList steps(const InspectedMainTask& task)
    {
        QStringList out;
        for (const TaskSpecification* sub : task.subtasks())
            out << QString("%1 %2").arg(sub->metaObject()->className()).arg(sub->weight);
        return out;
    }

    // Executes the task and cancels it before its first step starts.
    static void executeAndCancel(InspectedMainTask& task)
    {
        QSignalSpy canceled(&task, SIGNAL(canceled(TaskSpecification*)));
        task.execute();
        task.cancel();
        ASSERT_TRUE(waitUntil([&] { return canceled.size() == 1; }));
        EXPECT_EQ(task.state, TaskSpecification::CANCELED);
    }

    QNetworkAccessManager manager;
    Configuration config;
};

} // namespace

TEST_F(MainTaskTest, EachStageBuildsItsStepsInOrder)
{
    const QStringList before{"IniDownloadTaskSpecification 0.1", "MakeDownloadReplaceListTaskSpecification 0.05",
                             "DownloadFileListTaskSpecification 0.4", "PrePostInstallListTaskSpecification 0.1"};
    const QString after = "PrePostInstallListTaskSpecification 0.1";
    for (int clientUpdate : {0, 1}) {
        SCOPED_TRACE(clientUpdate);
        config.isClientUpdate = clientUpdate;
        InspectedMainTask task(&manager, &config, nullptr, 1.0);
        QSignalSpy messages(&task, SIGNAL(message(QString)));
        executeAndCancel(task);
        ASSERT_FALSE(messages.isEmpty());
        EXPECT_EQ(task.parallelLimit(), 1);
        if (clientUpdate == 0) {
            EXPECT_EQ(messages.first().at(0).toString(), "Starting update process for updater");
            EXPECT_EQ(steps(task), (before + QStringList{"UpdateSelfUnzipTaskSpecification 0.4", after}));
        } else {
            EXPECT_EQ(messages.first().at(0).toString(), "Starting update process for client");
            EXPECT_EQ(steps(task), (before + QStringList{"FileReplaceListTaskSpecification 0.4",
                                                         "FileDeleteListTaskSpecification 0.05", after}));
        }
    }
}

TEST_F(MainTaskTest, ResetStartsFromEmptyListsAndNewSteps)
{
    config.isClientUpdate = 1;
    InspectedMainTask task(&manager, &config, nullptr, 1.0);
    executeAndCancel(task);
    QList<QPointer<TaskSpecification>> first;
    for (TaskSpecification* sub : task.subtasks())
        first << sub;
    task.plan().downloads.append(DownloadEntry{"client", "bin/tool", "ab", 2});
    task.plan().preInstall.append(InstallCommand("setup.sh", {}, true));

    task.reset();
    EXPECT_EQ(task.state, TaskSpecification::IDLE);
    EXPECT_TRUE(task.subtasks().isEmpty());
    EXPECT_TRUE(task.lists().downloads.isEmpty());
    EXPECT_TRUE(task.lists().preInstall.isEmpty());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    for (const QPointer<TaskSpecification>& sub : first)
        EXPECT_TRUE(sub.isNull()) << "the steps of the first run are released";

    executeAndCancel(task);
    EXPECT_EQ(task.subtasks().size(), 7);
}
