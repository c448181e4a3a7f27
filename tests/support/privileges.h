// Running a test without root's privileges: CI runs as root, which ignores file permissions.
#pragma once

#include <QStringList>

class QProcess;

// When the process runs as root, runs the current test again in a child process as the user
// "nobody", records a failure if the child fails, and returns true: the caller returns at once.
// In the unprivileged child (or when not root to begin with) it returns false and the test runs.
bool rerunCurrentTestAsNobody();

// Starts `program` as the user "nobody" (group "nogroup", no other groups).
void startAsNobody(QProcess* process, const QString& program, const QStringList& arguments);
