#include "logstream.h"

#include "voxlog.h"

#include <cstdlib>

namespace vlpatch {

LogStream::LogStream(int level) : m_Level(level) {}

LogStream::~LogStream()
{
    logMessage(m_Stream.str(), m_Level, m_Channel, m_Id);
}

void LogFailedAssertion(const char* condition, const char* file, int line)
{
    {
        LogStream(LogLevel_CRITICAL) << "Assertion \"" << condition << "\" failed at " << file << ":" << line << "; ";
    }
    // A level-0 message always ends the process; this only keeps the compiler informed.
    std::abort();
}

} // namespace vlpatch
