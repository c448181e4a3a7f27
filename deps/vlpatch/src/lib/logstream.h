// The patcher's log line: text collected with stream operators is handed to voxlog when the
// object goes out of scope. Errors go out at level 1, information at levels 2 and 3.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

namespace vlpatch {

class LogStream {
public:
    explicit LogStream(int level);
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    template <typename T>
    LogStream& operator<<(const T& value)
    {
        m_Stream << value;
        return *this;
    }

private:
    std::string m_Channel;
    uint64_t m_Id = 0;
    int m_Level;
    std::ostringstream m_Stream;
};

// A broken internal invariant: logs "Assertion "<condition>" failed at <file>:<line>; " at level 0,
// which ends the process.
[[noreturn]] void LogFailedAssertion(const char* condition, const char* file, int line);

} // namespace vlpatch
