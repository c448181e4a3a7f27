// Small tasks whose end the test decides, for driving composed tasks step by step.
#pragma once

#include "taskspecification.h"

#include <QList>

#include <algorithm>

// A task that starts running on execute() and ends only when the test says so.
class ManualTask : public TaskSpecification {
    Q_OBJECT

public:
    explicit ManualTask(QObject* parent = nullptr, qreal weight = 1.0) : TaskSpecification(parent, weight) {}

    void execute() override
    {
        state = RUNNING;
        ++executeCount;
        if (startLog)
            startLog->append(this);
        if (concurrency) {
            ++concurrency->running;
            concurrency->maxRunning = std::max(concurrency->maxRunning, concurrency->running);
        }
    }
    void abort(TaskSpecification* other) override { abortedBy.append(other); }

    void finish() { leave(); setFinished(); }
    void fail() { leave(); setFailed(); }
    void cancelNow() { leave(); setCanceled(); }

    struct Concurrency {
        int running = 0;
        int maxRunning = 0;
    };

    int executeCount = 0;
    QList<TaskSpecification*> abortedBy;
    QList<ManualTask*>* startLog = nullptr;
    Concurrency* concurrency = nullptr;

private:
    void leave()
    {
        if (concurrency && state == RUNNING)
            --concurrency->running;
    }
};
