#include "composedtaskspecification.h"
#include "qtwait.h"
#include "testtasks.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

// A composed task whose subtasks the test hands in before execute().
class TestComposed : public ComposedTaskSpecification {
    Q_OBJECT

public:
    TestComposed(int maxParallel, qreal weight) : ComposedTaskSpecification(maxParallel, nullptr, weight) {}
    void execute() override { startSubtasks(); }
    void subtasksDone() override
    {
        ++subtasksDoneCalls;
        ComposedTaskSpecification::subtasksDone();
    }
    int subtasksDoneCalls = 0;
};

struct Tree {
    Tree(int maxParallel, int count, qreal parentWeight = 1.0, qreal subWeight = 1.0)
        : parent(maxParallel, parentWeight)
    {
        for (int i = 0; i < count; ++i) {
            auto* t = new ManualTask(&parent, subWeight);
            t->startLog = &startOrder;
            t->concurrency = &concurrency;
            subs.append(t);
            parent.addTask(t);
        }
    }
    TestComposed parent;
    QList<ManualTask*> subs;
    QList<ManualTask*> startOrder;
    ManualTask::Concurrency concurrency;
};

} // namespace

TEST(ComposedTaskTest, StartsInInsertionOrderWithBoundedParallelism)
{
    Tree tree(2, 5);
    QSignalSpy finished(&tree.parent, &TaskSpecification::finished);
    tree.parent.execute();
    EXPECT_TRUE(tree.startOrder.isEmpty()) << "starts are queued, not done inside execute()";

    drainEvents();
    ASSERT_EQ(tree.startOrder.size(), 2);
    // Finish whichever runs, in reverse start order, until all are done.
    while (tree.startOrder.size() < 5 || tree.concurrency.running > 0) {
        ASSERT_LE(tree.concurrency.running, 2);
        ManualTask* running = nullptr;
        for (ManualTask* t : tree.subs)
            if (t->state == TaskSpecification::RUNNING)
                running = t;
        ASSERT_NE(running, nullptr);
        running->finish();
        drainEvents();
    }
    EXPECT_EQ(tree.concurrency.maxRunning, 2);
    EXPECT_EQ(tree.startOrder, tree.subs);
    EXPECT_EQ(tree.parent.subtasksDoneCalls, 1);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(tree.parent.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(tree.parent.progress, 1.0);
}

TEST(ComposedTaskTest, ParallelLimitBelowOneRunsOneAtATime)
{
    for (int limit : {0, -3}) {
        Tree tree(limit, 3);
        tree.parent.execute();
        drainEvents();
        ASSERT_EQ(tree.startOrder.size(), 1);
        for (int i = 0; i < 3; ++i) {
            ASSERT_LT(i, tree.startOrder.size());
            tree.startOrder.at(i)->finish();
            drainEvents();
        }
        EXPECT_EQ(tree.concurrency.maxRunning, 1);
        EXPECT_EQ(tree.parent.state, TaskSpecification::FINISHED);
    }
}

TEST(ComposedTaskTest, NoSubtasksFinishesInsideStart)
{
    TestComposed parent(3, 0.5);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    EXPECT_EQ(parent.state, TaskSpecification::FINISHED);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_DOUBLE_EQ(parent.progress, 0.5);
    drainEvents();
    EXPECT_EQ(parent.subtasksDoneCalls, 1);
}

TEST(ComposedTaskTest, FailureStopsNewStartsAbortsRunningSiblingsAndFails)
{
    Tree tree(3, 6);
    QSignalSpy canceled(&tree.parent, &TaskSpecification::canceled);
    tree.parent.execute();
    drainEvents();
    ASSERT_EQ(tree.startOrder.size(), 3);

    tree.subs[1]->fail();
    drainEvents();
    EXPECT_EQ(tree.startOrder.size(), 3) << "no new start after a failure";
    ASSERT_EQ(tree.subs[0]->abortedBy.size(), 1);
    EXPECT_EQ(tree.subs[0]->abortedBy.at(0), tree.subs[1]);
    ASSERT_EQ(tree.subs[2]->abortedBy.size(), 1);
    EXPECT_TRUE(tree.subs[1]->abortedBy.isEmpty());
    EXPECT_TRUE(tree.subs[4]->abortedBy.isEmpty()) << "pending subtasks are not told";
    EXPECT_EQ(canceled.count(), 0) << "the composed task waits for running subtasks";

    // A second failure tells nobody again.
    tree.subs[0]->fail();
    drainEvents();
    EXPECT_EQ(tree.subs[2]->abortedBy.size(), 1);
    tree.subs[2]->finish();
    drainEvents();

    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(tree.parent.state, TaskSpecification::FAILED);
    EXPECT_EQ(tree.parent.subtasksDoneCalls, 1);
    for (int i = 3; i < 6; ++i)
        EXPECT_EQ(tree.subs[i]->state, TaskSpecification::IDLE);
}

TEST(ComposedTaskTest, EndStateFollowsSubtaskStates)
{
    struct Case {
        const char* name;
        std::function<void(Tree&)> drive;
        int expected;
    };
    const QList<Case> cases = {
        {"one canceled, one finished",
         [](Tree& t) { t.subs[0]->cancelNow(); t.subs[1]->finish(); }, TaskSpecification::CANCELED},
        {"canceled then failed: failure outranks",
         [](Tree& t) { t.subs[0]->cancelNow(); t.subs[1]->fail(); }, TaskSpecification::FAILED},
        {"cancel request, last running subtask finishes: all finished outranks the request",
         [](Tree& t) { t.parent.cancel(); t.subs[0]->finish(); t.subs[1]->finish(); }, TaskSpecification::FINISHED},
    };
    for (const Case& c : cases) {
        Tree tree(2, 2);
        tree.parent.execute();
        drainEvents();
        c.drive(tree);
        drainEvents();
        EXPECT_EQ(tree.parent.state, c.expected) << c.name;
    }

    // A cancel request that leaves subtasks unstarted ends the task canceled.
    Tree tree(1, 3);
    tree.parent.execute();
    drainEvents();
    tree.parent.cancel();
    EXPECT_TRUE(tree.subs[0]->cancelRequested);
    EXPECT_TRUE(tree.subs[2]->cancelRequested) << "pending subtasks get the flag too";
    tree.subs[0]->finish();
    drainEvents();
    EXPECT_EQ(tree.subs[1]->state, TaskSpecification::IDLE);
    EXPECT_EQ(tree.parent.state, TaskSpecification::CANCELED);
}

TEST(ComposedTaskTest, ProgressIsWeightTimesSumOfUnnormalisedSubtaskProgress)
{
    TestComposed parent(2, 0.5);
    auto* a = new ManualTask(&parent, 0.6);
    auto* b = new ManualTask(&parent, 0.7);
    parent.addTask(a);
    parent.addTask(b);
    QSignalSpy progress(&parent, &TaskSpecification::updateProgress);
    parent.execute();
    drainEvents();

    a->setProgress(0.5); // 0.3
    EXPECT_DOUBLE_EQ(parent.progress, 0.5 * 0.3);
    b->finish(); // 0.7
    EXPECT_DOUBLE_EQ(parent.progress, 0.5 * (0.3 + 0.7));
    a->finish(); // 0.6 + 0.7 = 1.3, beyond 1
    EXPECT_DOUBLE_EQ(parent.progress, 0.5 * 1.3);
    drainEvents();
    EXPECT_EQ(parent.state, TaskSpecification::FINISHED);
    EXPECT_DOUBLE_EQ(parent.progress, 0.5) << "finishing sets the progress to the weight";
    EXPECT_DOUBLE_EQ(progress.last().at(0).toDouble(), 0.5);

    // Thousands of subtasks moving in turns: the sum stays the true one, without drift, and the
    // window's permille never goes back.
    TestComposed many(1, 1.0);
    QList<ManualTask*> subs;
    for (int i = 0; i < 1024; ++i) {
        subs.append(new ManualTask(&many, 1.0 / 1024));
        many.addTask(subs.last());
    }
    int shown = 0;
    for (int turn = 1; turn <= 10; ++turn) {
        for (ManualTask* sub : subs) {
            sub->setProgress(turn / 10.0);
            ASSERT_GE(int(many.progress * 1000), shown) << turn;
            shown = int(many.progress * 1000);
        }
        long double sum = 0;
        for (ManualTask* sub : subs)
            sum += sub->progress;
        EXPECT_DOUBLE_EQ(many.progress, double(sum)) << turn;
    }
    EXPECT_EQ(many.progress, 1.0);
}

TEST(ComposedTaskTest, MessagesAndErrorsReachTheRoot)
{
    TestComposed root(1, 1.0);
    auto* middle = new TestComposed(1, 1.0);
    middle->setParent(&root);
    auto* leaf = new ManualTask(middle);
    middle->addTask(leaf);
    root.addTask(middle);
    QSignalSpy messages(&root, &TaskSpecification::message);
    QSignalSpy errors(&root, &TaskSpecification::error);
    root.execute();
    drainEvents();
    ASSERT_EQ(leaf->state, TaskSpecification::RUNNING);
    emit leaf->message("hello");
    emit leaf->error("bad");
    ASSERT_EQ(messages.count(), 1);
    EXPECT_EQ(messages.at(0).at(0).toString(), "hello");
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(), "bad");

    // Aborting the middle task passes the abort on to its running leaf.
    ManualTask sibling;
    middle->abort(&sibling);
    ASSERT_EQ(leaf->abortedBy.size(), 1);
    EXPECT_EQ(leaf->abortedBy.at(0), &sibling);
    leaf->finish();
    drainEvents();
    EXPECT_EQ(root.state, TaskSpecification::FINISHED);
}

TEST(ComposedTaskTest, DownloadProgressAddsUpSubtasksWithATotal)
{
    class Reporting : public ManualTask {
    public:
        Reporting(QObject* p, quint64 d, quint64 t, quint64 s, bool dl) : ManualTask(p), d(d), t(t), s(s), dl(dl) {}
        void getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading) override
        {
            *done = d;
            *total = t;
            *speed = s;
            *downloading = dl;
        }
        quint64 d, t, s;
        bool dl;
    };
    TestComposed parent(1, 1.0);
    parent.addTask(new Reporting(&parent, 10, 100, 1, false));
    parent.addTask(new Reporting(&parent, 5, 0, 2, true));
    parent.addTask(new Reporting(&parent, 0, 50, 3, false));
    quint64 done = 1, total = 1, speed = 1;
    bool downloading = false;
    parent.getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 11u) << "adds to the caller's counters";
    EXPECT_EQ(total, 151u);
    EXPECT_EQ(speed, 7u);
    EXPECT_TRUE(downloading);
}

#include "composedtaskspecification_test.moc"
