// The growth of a process's peak resident memory over a stretch of a test: the peak is reset
// when the object is made (Linux's clear_refs), and read back from /proc/<pid>/status.
#pragma once

#include <sys/types.h>

// A size field of /proc/self/status, or of the process `pid`'s ("VmRSS", "VmSize", ...) in KiB,
// or -1.
double processStatusKiB(const char* field, pid_t pid = 0);

class PeakMemoryGrowth {
public:
    // This process, or the process `pid`, which a test may reset when it runs as its user.
    explicit PeakMemoryGrowth(pid_t pid = 0);
    // How far the peak rose above the resident memory at the start, in MiB.
    double mebibytes() const;

private:
    pid_t m_Pid;
    double m_StartKiB;
};
