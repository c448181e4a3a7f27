// Version queries run on threads that end on their own after the answer; tests wait for them
// so that no query thread outlives the test that started it.
#pragma once

#include "qtwait.h"
#include "updatechecker.h"

#include <QDir>
#include <QFile>
#include <QPointer>

// Number of this process's threads named after the query thread class (Qt names its threads
// after their class).
inline int runningQueryThreads()
{
    int count = 0;
    const QDir tasks("/proc/self/task");
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + "/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "HTTPDownloader")
            ++count;
    }
    return count;
}

// Waits (bounded) until no query thread runs, then lets their objects be deleted. A thread only
// takes its name once it runs, so call this after the query has answered.
inline void settleQueryThreads()
{
    waitUntil([] { return runningQueryThreads() == 0; }, 5000);
    drainEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Waits for a query that a test started through other code to be answered, without the answer
// reaching the code's own receivers, and for its thread to end.
inline bool awaitQuery(UpdateChecker* checker)
{
    QPointer<UpdateChecker> pending(checker);
    checker->disconnect();
    const bool answered = waitUntil([&] { return pending.isNull(); }, 10000);
    settleQueryThreads();
    return answered;
}
