#include "taskspecification.h"

namespace {
const int taskPointerTypeId = qRegisterMetaType<TaskSpecification*>("TaskSpecification*");
}

TaskSpecification::TaskSpecification(QObject* parent, qreal weight)
    : QObject(parent), cancelRequested(false), weight(weight), progress(0), state(IDLE)
{
    Q_UNUSED(taskPointerTypeId);
}

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = IDLE;
    progress = 0.0 * weight;
    emit updateProgress(progress);
}

void TaskSpecification::getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading)
{
    *done = 0;
    *total = 0;
    *speed = 0;
    *downloading = false;
}

void TaskSpecification::cancel()
{
    cancelRequested = true;
}

void TaskSpecification::abort(TaskSpecification*)
{
}

void TaskSpecification::setProgress(qreal fraction)
{
    progress = fraction * weight;
    emit updateProgress(progress);
}

void TaskSpecification::setFinished()
{
    if (hasEnded())
        return;
    state = FINISHED;
    progress = weight;
    emit updateProgress(progress);
    emit finished(this);
}

void TaskSpecification::setFailed()
{
    if (hasEnded())
        return;
    state = FAILED;
    emit canceled(this);
}

void TaskSpecification::setCanceled()
{
    if (hasEnded())
        return;
    state = CANCELED;
    emit canceled(this);
}

void TaskSpecification::setWeight(qreal w)
{
    weight = w;
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && state == RUNNING)
        abort(other);
}
