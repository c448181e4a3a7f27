#include "peakmemory.h"

#include <fstream>
#include <string>

namespace {

std::string procFile(pid_t pid, const char* name)
{
    return (pid == 0 ? std::string("/proc/self/") : "/proc/" + std::to_string(pid) + "/") + name;
}

} // namespace

double processStatusKiB(const char* field, pid_t pid)
{
    const std::string prefix = std::string(field) + ":";
    std::ifstream status(procFile(pid, "status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stod(line.substr(prefix.size()));
    }
    return -1;
}

PeakMemoryGrowth::PeakMemoryGrowth(pid_t pid) : m_Pid(pid)
{
    std::ofstream(procFile(pid, "clear_refs")) << "5";
    m_StartKiB = processStatusKiB("VmRSS", pid);
}

double PeakMemoryGrowth::mebibytes() const
{
    return (processStatusKiB("VmHWM", m_Pid) - m_StartKiB) / 1024;
}
