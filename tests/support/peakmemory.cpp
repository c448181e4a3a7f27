#include "peakmemory.h"

#include <fstream>
#include <string>

double processStatusKiB(const char* field)
{
    const std::string prefix = std::string(field) + ":";
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stod(line.substr(prefix.size()));
    }
    return -1;
}

PeakMemoryGrowth::PeakMemoryGrowth()
{
    std::ofstream("/proc/self/clear_refs") << "5";
    m_StartKiB = processStatusKiB("VmRSS");
}

double PeakMemoryGrowth::mebibytes() const
{
    return (processStatusKiB("VmHWM") - m_StartKiB) / 1024;
}
