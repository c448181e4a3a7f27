// A task that runs an ordered list of subtasks, at most `maxParallel` at once, sums their
// progress, stops starting new ones after the first failure or a cancel request, and ends
// from the end states of all its subtasks.
#pragma once

#include "taskspecification.h"

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
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* sub);
    void onSubTaskCanceled(TaskSpecification* sub);

private:
    void reportDone();
    int evaluateSubtaskStates() const;
};
