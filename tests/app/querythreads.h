// Version queries run on threads that end on their own after the answer; tests wait for them
// so that no query thread outlives the test that started it.
#pragma once

#include "qtwait.h"

#include <QDir>
#include <QFile>

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

// Waits (bounded) until no query thread runs, then lets their objects be deleted.
inline void settleQueryThreads()
{
    waitUntil([] { return runningQueryThreads() == 0; }, 5000);
    drainEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
