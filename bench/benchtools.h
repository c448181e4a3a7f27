// What the benchmarks share: running the outside tools they are measured against, with the peak
// memory of each run, and file sizes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Waits for the child; returns its peak resident memory in MiB, or -1 when it failed.
double reap(pid_t pid);

// Runs a tool with its standard output going to `output` (or /dev/null); returns its peak
// resident memory in MiB, or -1 when it could not start or did not exit with 0.
double runTool(std::vector<std::string> args, const std::string& output = "/dev/null");

// The size of a file in bytes, or -1 when it cannot be read.
double fileSize(const std::string& path);
