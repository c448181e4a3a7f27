// voxlog: a small formatting logger. Messages carry a level, a channel and an id; each one
// becomes a prefixed line handed to every registered sink, and a level-0 message ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum LogLevel : int {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5,
};

using LogFatalCallback = void (*)(const std::string& message, const std::string& channel, uint64_t id,
                                  const std::string& timestamp, const std::string& line);

struct LogSinkNode;

// Abstract output of the logger. Constructing one registers it at the end of the global sink
// list; destroying it unregisters it.
class LogBase {
public:
    LogBase();
    virtual ~LogBase();
    LogBase(const LogBase&) = delete;
    LogBase& operator=(const LogBase&) = delete;

    virtual void flush() = 0;
    virtual void notify(void* argument) = 0;
    virtual void write(const std::string& message, int level, const std::string& channel, uint64_t id,
                       const std::string& timestamp, const std::string& line) = 0;
    virtual void notifyOptional(void* argument);

private:
    LogSinkNode* m_Node;
};

struct LogSinkNode {
    LogBase* sink;
    LogSinkNode* prev;
    LogSinkNode* next;
};

// Doubly linked list of sinks in registration order. The global list frees its nodes at exit.
struct LogSinkList {
    LogSinkNode* head = nullptr;
    LogSinkNode* tail = nullptr;
    std::size_t count = 0;

    LogSinkList() = default;
    LogSinkList(const LogSinkList&) = delete;
    LogSinkList& operator=(const LogSinkList&) = delete;
    ~LogSinkList();

    LogSinkNode* append(LogBase* sink);
    void remove(LogSinkNode* node);
};

// The global list that LogBase registers with and logMessage writes to.
LogSinkList& logSinkList();

void logMessage(const std::string& message, int level, const std::string& channel, uint64_t id);

void setLogMaxLevel(int level);
void setLogUseLocalTime(int useLocalTime);
void setLogTimestampFormat(int format);
void setLogFatalCallback(LogFatalCallback callback);

std::string logTimestamp(int format);
// Only levels 0 to 5 may be passed; checkedLogLevelName guards against the others.
std::string logLevelName(int level);
std::string checkedLogLevelName(int level);

void writeLogSinkList(LogSinkList& list, const std::string& message, int level, const std::string& channel,
                      uint64_t id, const std::string& timestamp, const std::string& line);
void flushAllLogSinks(LogSinkList& list);
void notifyAllLogSinks(void* argument);
void notifyLogSinkList(LogSinkList& list, void* argument);
void notifyOptionalAllLogSinks(void* argument);
void notifyOptionalLogSinkList(LogSinkList& list, void* argument);

void printStackTrace();
std::string makeEmptyLogString();
