#include "composedtaskspecification.h"

#include <algorithm>
#include <cmath>

namespace {

// Units of 2^-64: every progress above 2^-11 converts exactly, and the sum, rounded once when it
// is read, is as close to the true sum as a double can be.
constexpr qreal kProgressScale = 0x1p64;
// No task's progress comes near this; held within it, no number of subtasks overflows the sum.
constexpr qreal kProgressLimit = 1024;

ComposedTaskSpecification::FixedProgress toFixedPoint(qreal progress)
{
    const qreal held = std::isfinite(progress) ? std::clamp(progress, -kProgressLimit, kProgressLimit) : 0;
    return static_cast<ComposedTaskSpecification::FixedProgress>(held * kProgressScale);
}

} // namespace

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
    // Deleted now rather than later: deleting an object that has an event posted to it, such as
    // its own DeferredDelete, searches the whole posted-event queue, and a tree of thousands of
    // tasks would search a queue of thousands of them once per task.
    for (TaskSpecification* sub : qAsConst(tasks)) {
        QObject::disconnect(sub, nullptr, this, nullptr);
        delete sub;
    }
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* sub)
{
    connect(sub, SIGNAL(finished(TaskSpecification*)), this, SLOT(onSubTaskFinished(TaskSpecification*)));
    connect(sub, SIGNAL(canceled(TaskSpecification*)), this, SLOT(onSubTaskCanceled(TaskSpecification*)));
    connect(sub, SIGNAL(error(QString)), this, SIGNAL(error(QString)));
    // Told which subtask moved, the running total needs no search for it (sender() would search
    // every connection made to this task).
    connect(sub, &TaskSpecification::updateProgress, this, [this, sub] { onSubTaskProgress(sub); });
    connect(sub, SIGNAL(message(QString)), this, SIGNAL(message(QString)));
    connect(this, SIGNAL(otherTaskCancelled(TaskSpecification*)), sub, SLOT(onOtherTaskCancelled(TaskSpecification*)));
}

void ComposedTaskSpecification::addTask(TaskSpecification* sub)
{
    tasks.append(sub);
    pendingTasks.append(sub);
    connectSubTask(sub);
    onSubTaskProgress(sub);
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
    m_CountedProgress.clear();
    m_ProgressSum = 0;
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

void ComposedTaskSpecification::onSubTaskProgress(TaskSpecification* sub)
{
    const FixedProgress now = toFixedPoint(sub->progress);
    FixedProgress& counted = m_CountedProgress[sub];
    m_ProgressSum += now - counted;
    counted = now;
    setProgress(qreal(m_ProgressSum) / kProgressScale);
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
