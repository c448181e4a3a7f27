// A task that runs an ordered list of subtasks, at most `maxParallel` at once, sums their
// progress, stops starting new ones after the first failure or a cancel request, and ends
// from the end states of all its subtasks.
#pragma once

#include "taskspecification.h"

#include <QHash>
#include <QList>

class ComposedTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    // A limit below 1 is taken as 1, so that pending work always starts.
    ComposedTaskSpecification(int maxParallel, QObject* parent, qreal weight);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading) override;
    void cancel() override;
    void abort(TaskSpecification* other) override;

    // Called once per run, when no subtask runs and none will be started; ends the task.
    virtual void subtasksDone();
    virtual void connectSubTask(TaskSpecification* sub);

    void addTask(TaskSpecification* sub);
    void startSubtasks();
    void deleteSubtasks();

    int parallelLimit() const { return maxParallel; }

    // Progress in fixed point, wide enough to add up any number of subtasks exactly.
    using FixedProgress = __int128;

protected:
    QList<TaskSpecification*> tasks;
    QList<TaskSpecification*> pendingTasks;
    QList<TaskSpecification*> runningTasks;
    QList<TaskSpecification*> doneTasks;
    int maxParallel;
    bool subtaskFailed;
    bool doneReported;

signals:
    void startNextTask();

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification* sub);
    void onSubTaskCanceled(TaskSpecification* sub);

private:
    void reportDone();
    int evaluateSubtaskStates() const;
    // Brings the running total up to the subtask's current progress and passes it on.
    void onSubTaskProgress(TaskSpecification* sub);

    // The sum of the subtasks' progress, kept as a running total so that a change costs the same
    // however many subtasks there are, and each subtask's progress as last counted. The total is
    // in fixed point: integer sums are exact in any order, so it never drifts from the sum of its
    // parts.
    FixedProgress m_ProgressSum = 0;
    QHash<const TaskSpecification*, FixedProgress> m_CountedProgress;
};
