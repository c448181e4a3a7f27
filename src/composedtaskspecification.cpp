#include "composedtaskspecification.h"

#include <algorithm>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject* parent, qreal weight)
    : TaskSpecification(parent, weight),
      maxParallel(std::max(1, maxParallel)),
      subtaskFailed(false),
      doneReported(false)
{
    // Starts always come from the event loop, never from inside the call that ended a subtask.
    connect(this, SIGNAL(startNextTask()), this, SLOT(onStartNextTask()), Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    deleteSubtasks();
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* sub)
{
    connect(sub, SIGNAL(finished(TaskSpecification*)), this, SLOT(onSubTaskFinished(TaskSpecification*)));
    connect(sub, SIGNAL(canceled(TaskSpecification*)), this, SLOT(onSubTaskCanceled(TaskSpecification*)));
    connect(sub, SIGNAL(error(QString)), this, SIGNAL(error(QString)));
    connect(sub, SIGNAL(updateProgress(qreal)), this, SLOT(onUpdateProgress(qreal)));
    connect(sub, SIGNAL(message(QString)), this, SIGNAL(message(QString)));
    connect(this, SIGNAL(otherTaskCancelled(TaskSpecification*)), sub, SLOT(onOtherTaskCancelled(TaskSpecification*)));
}

void ComposedTaskSpecification::addTask(TaskSpecification* sub)
{
    tasks.append(sub);
    pendingTasks.append(sub);
    connectSubTask(sub);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::startSubtasks()
{
    state = RUNNING;
    const int n = std::min(static_cast<int>(pendingTasks.size()), maxParallel);
    if (n == 0) {
        reportDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::deleteSubtasks()
{
    for (TaskSpecification* sub : qAsConst(tasks)) {
        QObject::disconnect(sub, nullptr, this, nullptr);
        sub->deleteLater();
    }
    tasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification* sub : qAsConst(tasks))
        sub->reset();
    pendingTasks = tasks;
    runningTasks.clear();
    doneTasks.clear();
    subtaskFailed = false;
    doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading)
{
    *downloading = false;
    for (TaskSpecification* sub : qAsConst(tasks)) {
        quint64 subDone = 0, subTotal = 0, subSpeed = 0;
        bool subDownloading = false;
        sub->getDownloadProgress(&subDone, &subTotal, &subSpeed, &subDownloading);
        if (subDownloading)
            *downloading = true;
        *speed += subSpeed;
        if (subTotal != 0) {
            *done += subDone;
            *total += subTotal;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state != RUNNING)
        return;
    for (TaskSpecification* sub : qAsConst(tasks))
        sub->cancel();
}

void ComposedTaskSpecification::abort(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!pendingTasks.isEmpty() && !subtaskFailed && !cancelRequested) {
        TaskSpecification* sub = pendingTasks.takeFirst();
        // Listed as running before it executes: immediate tasks end inside execute().
        runningTasks.append(sub);
        sub->execute();
    } else if (runningTasks.isEmpty()) {
        reportDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* sub)
{
    runningTasks.removeOne(sub);
    doneTasks.append(sub);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* sub)
{
    runningTasks.removeOne(sub);
    doneTasks.append(sub);
    if (!subtaskFailed) {
        subtaskFailed = true;
        emit otherTaskCancelled(sub);
    }
    if (runningTasks.isEmpty())
        reportDone();
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    qreal sum = 0;
    for (TaskSpecification* sub : qAsConst(tasks))
        sum += sub->progress;
    setProgress(sum);
}

void ComposedTaskSpecification::reportDone()
{
    if (doneReported)
        return;
    doneReported = true;
    subtasksDone();
}

int ComposedTaskSpecification::evaluateSubtaskStates() const
{
    bool someCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification* sub : tasks) {
        if (sub->state == FAILED)
            return FAILED;
        if (sub->state == CANCELED)
            someCanceled = true;
        if (sub->state != FINISHED)
            allFinished = false;
    }
    if (someCanceled)
        return CANCELED;
    if (allFinished)
        return FINISHED;
    if (cancelRequested)
        return CANCELED;
    if (subtaskFailed)
        return FAILED;
    return RUNNING;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (evaluateSubtaskStates()) {
    case CANCELED:
        setCanceled();
        break;
    case FINISHED:
        setFinished();
        break;
    default:
        setFailed();
        break;
    }
}
