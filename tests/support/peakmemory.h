// The growth of this process's peak resident memory over a stretch of a test: the peak is reset
// when the object is made (Linux's clear_refs), and read back from /proc/self/status.
#pragma once

// A size field of /proc/self/status ("VmRSS", "VmSize", ...) in KiB, or -1.
double processStatusKiB(const char* field);

class PeakMemoryGrowth {
public:
    PeakMemoryGrowth();
    // How far the peak rose above the resident memory at the start, in MiB.
    double mebibytes() const;

private:
    double m_StartKiB;
};
