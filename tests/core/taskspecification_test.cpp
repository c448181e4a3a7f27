#include "testtasks.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

TEST(TaskSpecificationTest, ProgressIsWeightedAndFinishingReachesTheWeight)
{
    ManualTask task(nullptr, 0.3);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.execute();
    task.setProgress(0.5);
    EXPECT_DOUBLE_EQ(task.progress, 0.15);
    task.finish();

    ASSERT_EQ(progress.count(), 2);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toDouble(), 0.15);
    EXPECT_DOUBLE_EQ(progress.at(1).at(0).toDouble(), 0.3);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).value<TaskSpecification*>(), &task);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
}

TEST(TaskSpecificationTest, FailureAndCancelBothEmitCanceledAndKeepProgress)
{
    for (bool failIt : {true, false}) {
        ManualTask task(nullptr, 0.5);
        task.execute();
        task.setProgress(0.4);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);

        failIt ? task.fail() : task.cancelNow();

        EXPECT_EQ(task.state, failIt ? TaskSpecification::FAILED : TaskSpecification::CANCELED);
        EXPECT_EQ(canceled.count(), 1);
        EXPECT_EQ(finished.count(), 0);
        EXPECT_EQ(progress.count(), 0);
        EXPECT_DOUBLE_EQ(task.progress, 0.2);
    }
}

TEST(TaskSpecificationTest, TaskEndsExactlyOnce)
{
    ManualTask task;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    task.setFinished();
    task.setFinished();
    task.setFailed();
    task.setCanceled();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(canceled.count(), 0);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);

    ManualTask failing;
    QSignalSpy failedSpy(&failing, &TaskSpecification::canceled);
    failing.execute();
    failing.setFailed();
    failing.setCanceled();
    failing.setFinished();
    EXPECT_EQ(failedSpy.count(), 1);
    EXPECT_EQ(failing.state, TaskSpecification::FAILED);
    EXPECT_DOUBLE_EQ(failing.progress, 0.0);
}

TEST(TaskSpecificationTest, ResetReturnsToIdle)
{
    ManualTask task(nullptr, 2.0);
    task.execute();
    task.cancel();
    task.finish();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    EXPECT_EQ(task.state, TaskSpecification::IDLE);
    EXPECT_FALSE(task.cancelRequested);
    ASSERT_EQ(progress.count(), 1);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toDouble(), 0.0);
    // A reset task can run and end again.
    task.execute();
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.finish();
    EXPECT_EQ(finished.count(), 1);
}

TEST(TaskSpecificationTest, OtherTaskCancelledAbortsOnlyARunningTaskForAnotherTask)
{
    ManualTask task;
    ManualTask other;
    // Reach the protected slot through the signal, as composed parents do.
    QObject::connect(&other, SIGNAL(otherTaskCancelled(TaskSpecification*)), &task,
                     SLOT(onOtherTaskCancelled(TaskSpecification*)));

    emit other.otherTaskCancelled(&other);
    EXPECT_TRUE(task.abortedBy.isEmpty()) << "idle task must not be aborted";

    task.execute();
    emit other.otherTaskCancelled(&task);
    EXPECT_TRUE(task.abortedBy.isEmpty()) << "a task is not aborted by itself";

    emit other.otherTaskCancelled(&other);
    ASSERT_EQ(task.abortedBy.size(), 1);
    EXPECT_EQ(task.abortedBy.at(0), &other);

    task.finish();
    emit other.otherTaskCancelled(&other);
    EXPECT_EQ(task.abortedBy.size(), 1) << "ended task must not be aborted";
}

TEST(TaskSpecificationTest, BaseDownloadProgressIsZero)
{
    ManualTask task;
    quint64 done = 7, total = 8, speed = 9;
    bool downloading = true;
    task.getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(speed, 0u);
    EXPECT_FALSE(downloading);
}
