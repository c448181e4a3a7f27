// Running a task from a test and reading the texts it sends.
#pragma once

#include "qtwait.h"

#include <QList>
#include <QSignalSpy>
#include <QStringList>
#include <QVariant>
#include <gtest/gtest.h>

// The text each signal a spy has caught carries first (a task's message or error), in order.
inline QStringList spiedTexts(const QSignalSpy& messages)
{
    QStringList texts;
    for (const QList<QVariant>& args : messages)
        texts << args.at(0).toString();
    return texts;
}

// Runs `task` until it has ended and delivers what it queued on the way; false when it had not
// ended within `timeoutMs`.
template <typename Task>
bool runUntilEnded(Task& task, int timeoutMs = 30000)
{
    task.execute();
    const bool ended = waitUntil([&task] { return task.hasEnded(); }, timeoutMs);
    drainEvents();
    return ended;
}

// Runs `task` to its end and returns its texts.
template <typename Task>
QStringList runToEnd(Task& task, int timeoutMs = 30000)
{
    QSignalSpy messages(&task, &Task::message);
    EXPECT_TRUE(runUntilEnded(task, timeoutMs));
    return spiedTexts(messages);
}
