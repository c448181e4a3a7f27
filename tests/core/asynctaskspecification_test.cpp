#include "asynctaskspecification.h"
#include "qtwait.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>

namespace {

// A worker that sends a few texts and then returns what the test asked for, optionally
// waiting for the test's go-ahead first. It records the thread it ran on.
class ScriptedFunc : public ASyncFunc {
    Q_OBJECT

public:
    ScriptedFunc(bool result, QStringList texts, QSemaphore* gate, std::atomic<QThread*>* ranOn,
                 std::atomic<bool>* returned)
        : result(result), texts(std::move(texts)), gate(gate), ranOn(ranOn), returned(returned)
    {
    }
    bool run() override
    {
        *ranOn = QThread::currentThread();
        if (gate)
            gate->acquire();
        for (const QString& t : texts)
            emit message(t);
        emit progress(0.5);
        *returned = true;
        return result;
    }
    bool result;
    QStringList texts;
    QSemaphore* gate;
    std::atomic<QThread*>* ranOn;
    std::atomic<bool>* returned;
};

class ScriptedTask : public ASyncTaskSpecification {
    Q_OBJECT

public:
    ScriptedTask(bool result, QStringList texts = {}, QSemaphore* gate = nullptr)
        : ASyncTaskSpecification(nullptr, 0.4), result(result), texts(std::move(texts)), gate(gate)
    {
    }
    ASyncFunc* createFunc() override { return new ScriptedFunc(result, texts, gate, &workerThread, &workerReturned); }
    void runDone(bool res) override
    {
        runDoneThread = QThread::currentThread();
        ASyncTaskSpecification::runDone(res);
    }
    bool result;
    QStringList texts;
    QSemaphore* gate;
    std::atomic<QThread*> workerThread{nullptr};
    std::atomic<bool> workerReturned{false};
    QThread* runDoneThread = nullptr;
};

} // namespace

TEST(ASyncTaskTest, WorkerRunsOnThePoolAndReportsOnTheGuiThread)
{
    ScriptedTask task(true, {"one", "two", "three"});
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    EXPECT_EQ(task.state, TaskSpecification::RUNNING);
    ASSERT_TRUE(finished.wait(5000));

    EXPECT_NE(task.workerThread.load(), QCoreApplication::instance()->thread());
    EXPECT_EQ(task.runDoneThread, QCoreApplication::instance()->thread());
    ASSERT_EQ(messages.count(), 3);
    EXPECT_EQ(messages.at(0).at(0).toString(), "one");
    EXPECT_EQ(messages.at(2).at(0).toString(), "three");
    ASSERT_EQ(progress.count(), 2);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toDouble(), 0.2);
    EXPECT_DOUBLE_EQ(progress.at(1).at(0).toDouble(), 0.4);
    EXPECT_EQ(task.state, TaskSpecification::FINISHED);
}

TEST(ASyncTaskTest, FalseResultFailsTheTask)
{
    ScriptedTask task(false);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    ASSERT_TRUE(canceled.wait(5000));
    EXPECT_EQ(task.state, TaskSpecification::FAILED);
    EXPECT_DOUBLE_EQ(task.progress, 0.2) << "progress stays where the worker left it";
    EXPECT_EQ(finished.count(), 0);
}

TEST(ASyncTaskTest, ResultForATaskNoLongerRunningIsIgnored)
{
    QSemaphore gate;
    ScriptedTask task(true, {}, &gate);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    // The task ends another way (a cancel) while its worker still runs.
    task.setCanceled();
    ASSERT_EQ(canceled.count(), 1);
    gate.release();
    ASSERT_TRUE(waitUntil([&] { return task.runDoneThread != nullptr; }));
    drainEvents();
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(task.state, TaskSpecification::CANCELED);
}

TEST(ASyncTaskTest, ResetWaitsForRunningWorkersAndDropsTheirResult)
{
    QSemaphore gate;
    ScriptedTask slow(true, {}, &gate);
    ScriptedTask other(true);
    QSignalSpy finished(&other, &TaskSpecification::finished);
    slow.execute();
    ASSERT_TRUE(waitUntil([&] { return slow.workerThread.load() != nullptr; }));
    // Release the gate a little later from another thread; reset must wait for it.
    QThread* releaser = QThread::create([&] {
        QThread::msleep(100);
        gate.release();
    });
    releaser->start();
    other.execute();
    other.reset();
    EXPECT_TRUE(slow.workerReturned) << "reset returned before the slow worker finished";
    releaser->wait();
    delete releaser;
    drainEvents();
    EXPECT_EQ(other.state, TaskSpecification::IDLE);
    EXPECT_EQ(finished.count(), 0);
}

#include "asynctaskspecification_test.moc"
