// Tasks whose work may block run it on Qt's global thread pool. The worker function object
// gets copies of its inputs when it is created and reports only through queued signals, so
// the task's state changes on the GUI thread alone.
#pragma once

#include "taskspecification.h"

#include <QRunnable>

class ASyncFunc : public QObject {
    Q_OBJECT

public:
    ASyncFunc() : QObject(nullptr) {}
    // The work itself, on a pool thread; true means success.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    void message(QString);
    void error(QString);
    // A fraction 0..1.
    void progress(qreal progress);
};

// Owns the worker: runs it on the pool thread, reports its result and deletes it there.
class ASyncRun : public QRunnable {
public:
    explicit ASyncRun(ASyncFunc* func) : m_Func(func) {}
    ~ASyncRun() override;
    void run() override;

private:
    ASyncFunc* m_Func;
};

class ASyncTaskSpecification : public TaskSpecification {
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, qreal weight);

    void execute() override;
    // Waits for the whole global pool, not only this task's worker.
    void reset() override;

    virtual ASyncFunc* createFunc() = 0;
    virtual void connectFunc(ASyncFunc* func);
    // Ends the task from the worker's result; a result for a task no longer running is dropped.
    virtual void runDone(bool res);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};
