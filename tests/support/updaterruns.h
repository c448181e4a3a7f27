// For tests that run the updater as real processes: finding the stages they started, and
// reading what the stages logged.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <sys/types.h>

// The processes whose program lies at or below `location`: a test finds the stages it started by
// where it put their program, including the detached second stage.
QList<pid_t> processesRunningFrom(const QString& location);
// Kills every process whose program lies at or below `location`.
void killProcessesRunningFrom(const QString& location);

// Every log file the updater wrote into the temporary folder `tempDir`, oldest first, each after
// a line with its name: for the message of a failed test.
QString updaterLogs(const QString& tempDir);
// The first line of those log files that holds `text`; empty when none does.
QByteArray updaterLogLine(const QString& tempDir, const QByteArray& text);

// LeakSanitizer suppressions for what Qt's platform plugins and the libraries below them keep
// until the process exits, which is no leak of the updater's.
extern const char kPlatformLeakSuppressions[];
