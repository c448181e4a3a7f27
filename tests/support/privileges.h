// Running a test without root's privileges: CI runs as root, which ignores file permissions.
#pragma once

#include <QStringList>

#include <sys/types.h>
#include <vector>

class QProcess;

// When the process runs as root, runs the current test again in a child process as the user
// "nobody", records a failure if the child fails, and returns true: the caller returns at once.
// In the unprivileged child (or when not root to begin with) it returns false and the test runs.
bool rerunCurrentTestAsNobody();

// Starts `program` as the user "nobody" (group "nogroup", no other groups).
void startAsNobody(QProcess* process, const QString& program, const QStringList& arguments);

// This process acts as "nobody" (group "nogroup", no other groups) while the object lives: the
// effective ids change, so what the test calls meanwhile opens and creates files as that user.
// Root's ids come back at the end. Needs root; acting() tells whether the switch was made.
class ActingAsNobody {
public:
    ActingAsNobody();
    ~ActingAsNobody();
    ActingAsNobody(const ActingAsNobody&) = delete;
    ActingAsNobody& operator=(const ActingAsNobody&) = delete;

    bool acting() const { return m_Acting; }

private:
    bool m_Acting = false;
    gid_t m_Group = 0;
    std::vector<gid_t> m_Groups;
};
