// The base of every unit of update work: a QObject on the GUI thread that is executed once,
// reports weighted progress and ends exactly once as finished, failed or canceled.
#pragma once

#include <QObject>
#include <QString>

class TaskSpecification : public QObject {
    Q_OBJECT

public:
    enum State { IDLE = 0, RUNNING = 1, FINISHED = 2, FAILED = 3, CANCELED = 4 };

    TaskSpecification(QObject* parent, qreal weight);

    virtual void execute() = 0;
    virtual void reset();
    virtual void getDownloadProgress(quint64* done, quint64* total, quint64* speed, bool* downloading);
    virtual void cancel();
    // A sibling `other` failed or was canceled while this task runs.
    virtual void abort(TaskSpecification* other);

    void setProgress(qreal fraction);
    // The three end operations act only while the task has not ended yet: a task ends once.
    void setFinished();
    void setFailed();
    void setCanceled();
    void setWeight(qreal weight);

    bool hasEnded() const { return state == FINISHED || state == FAILED || state == CANCELED; }

    // Read directly by composed parents and the engine.
    bool cancelRequested;
    qreal weight;
    qreal progress;
    int state;

signals:
    void finished(TaskSpecification*);
    // Failure and cancellation alike; the receiver tells them apart by `state`.
    void canceled(TaskSpecification*);
    void error(QString errorMessage);
    // Carries the weighted `progress`, not a fraction.
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification*);

protected slots:
    void onOtherTaskCancelled(TaskSpecification* other);
};

Q_DECLARE_METATYPE(TaskSpecification*)
