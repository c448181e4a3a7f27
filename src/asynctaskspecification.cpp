#include "asynctaskspecification.h"

#include <QThreadPool>

ASyncRun::~ASyncRun()
{
    delete m_Func;
}

void ASyncRun::run()
{
    const bool res = m_Func->run();
    emit m_Func->runResult(res);
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc* func = createFunc();
    connectFunc(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // Safe after the start: the result can only arrive through the event loop.
    state = RUNNING;
}

void ASyncTaskSpecification::connectFunc(ASyncFunc* func)
{
    connect(func, SIGNAL(runResult(bool)), this, SLOT(onRunResult(bool)), Qt::QueuedConnection);
    connect(func, SIGNAL(message(QString)), this, SIGNAL(message(QString)), Qt::QueuedConnection);
    connect(func, SIGNAL(error(QString)), this, SIGNAL(error(QString)), Qt::QueuedConnection);
    connect(func, SIGNAL(progress(qreal)), this, SLOT(onProgress(qreal)), Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (state != RUNNING)
        return;
    if (res)
        setFinished();
    else
        setFailed();
}

void ASyncTaskSpecification::onProgress(qreal p)
{
    setProgress(p);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone(-1);
    TaskSpecification::reset();
}
