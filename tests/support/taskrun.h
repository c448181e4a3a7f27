// Running a task from a test and reading the texts it sends.
#pragma once

#include "qtwait.h"

#include <QList>
#include <QSignalSpy>
#include <QStringList>
#include <QVariant>
#include <gtest/gtest.h>

// The texts a spy on a task's message signal has caught, in order.
inline QStringList spiedTexts(const QSignalSpy& messages)
{
    QStringList texts;
    for (const QList<QVariant>& args : messages)
        texts << args.at(0).toString();
    return texts;
}

// Runs `task` until it has ended, delivers what it queued on the way, and returns its texts.
template <typename Task>
QStringList runToEnd(Task& task, int timeoutMs = 30000)
{
    QSignalSpy messages(&task, &Task::message);
    task.execute();
    EXPECT_TRUE(waitUntil([&] { return task.hasEnded(); }, timeoutMs));
    drainEvents();
    return spiedTexts(messages);
}
