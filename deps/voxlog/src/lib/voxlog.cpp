#include "voxlog.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <execinfo.h>
#include <unistd.h>

namespace {

int g_maxLevel = LogLevel_DEVEL;
int g_useLocalTime = 0;
int g_timestampFormat = 0;
LogFatalCallback g_fatalCallback = nullptr;

const std::string (&levelNames())[6]
{
    static const std::string names[6] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    return names;
}

// exit() from a worker thread runs static destructors while that thread is still alive; a
// destructor that waits for worker threads (a thread pool's) would then wait forever. Only the
// main thread takes the orderly way out.
[[noreturn]] void endProcess()
{
    if (gettid() == getpid())
        std::exit(1);
    std::fflush(nullptr);
    _exit(1);
}

bool isDroppedNoise(const std::string& message, const std::string& channel)
{
    return channel == "DatabaseQuery"
        && (message == "sqlite3_prepare failed no such column: string_id"
            || message.find("db_exec() select * from instance_properties where string_id = '") != std::string::npos);
}

void writeFrameLine(const std::string& frameLine)
{
    static const std::string empty;
    writeLogSinkList(logSinkList(), frameLine, LogLevel_DEVEL, empty, 0, empty, frameLine);
}

} // namespace

LogSinkList::~LogSinkList()
{
    LogSinkNode* node = head;
    while (node) {
        LogSinkNode* next = node->next;
        delete node;
        node = next;
    }
    head = tail = nullptr;
    count = 0;
}

LogSinkNode* LogSinkList::append(LogBase* sink)
{
    auto* node = new LogSinkNode{sink, tail, nullptr};
    if (tail)
        tail->next = node;
    else
        head = node;
    tail = node;
    ++count;
    return node;
}

void LogSinkList::remove(LogSinkNode* node)
{
    (node->prev ? node->prev->next : head) = node->next;
    (node->next ? node->next->prev : tail) = node->prev;
    delete node;
    --count;
}

LogSinkList& logSinkList()
{
    static LogSinkList list;
    return list;
}

LogBase::LogBase() : m_Node(logSinkList().append(this)) {}

LogBase::~LogBase()
{
    logSinkList().remove(m_Node);
}

void LogBase::notifyOptional(void*) {}

void setLogMaxLevel(int level)
{
    g_maxLevel = level;
}

void setLogUseLocalTime(int useLocalTime)
{
    g_useLocalTime = useLocalTime;
}

void setLogTimestampFormat(int format)
{
    g_timestampFormat = format;
}

void setLogFatalCallback(LogFatalCallback callback)
{
    g_fatalCallback = callback;
}

std::string logTimestamp(int format)
{
    namespace pt = boost::posix_time;
    const pt::ptime now = g_useLocalTime ? pt::microsec_clock::local_time() : pt::microsec_clock::universal_time();
    if (format == 2)
        return pt::to_iso_string(now);
    if (format != 0)
        return pt::to_iso_extended_string(now);

    std::string text = pt::to_iso_string(now);
    text[8] = ' ';
    text.insert(4, "-");
    text.insert(7, "-");
    text.insert(13, ":");
    text.insert(16, ":");
    if (text.size() == 19)
        text += ".000000";
    return text;
}

std::string logLevelName(int level)
{
    return levelNames()[level];
}

std::string checkedLogLevelName(int level)
{
    if (static_cast<unsigned>(level) >= 6)
        logMessage(std::string("Assertion \"lvl >= 0 && lvl <= LogLevel_DEVEL\" failed at ") + __FILE__ + ":216; ",
                   LogLevel_CRITICAL, std::string(), 0);
    return logLevelName(level);
}

void logMessage(const std::string& message, int level, const std::string& channel, uint64_t id)
{
    if (isDroppedNoise(message, channel))
        return;
    if (g_maxLevel < level) {
        if (level == LogLevel_CRITICAL)
            endProcess();
        return;
    }

    const std::string idText = id != 0 ? std::to_string(id) : std::string();
    const std::string timestamp = logTimestamp(g_timestampFormat);
    const std::string prefix =
        (boost::format("%s|%-8s|%-14s|%-3s|") % timestamp % logLevelName(level) % channel % idText).str();
    const std::string line = message.find('\n') == std::string::npos
        ? prefix + message
        : prefix + boost::algorithm::replace_all_copy(message, "\n", "\n" + std::string(prefix.size(), ' '));

    writeLogSinkList(logSinkList(), message, level, channel, id, timestamp, line);

    if (level == LogLevel_CRITICAL) {
        if (g_fatalCallback)
            g_fatalCallback(message, channel, id, timestamp, line);
        endProcess();
    }
}

void writeLogSinkList(LogSinkList& list, const std::string& message, int level, const std::string& channel,
                      uint64_t id, const std::string& timestamp, const std::string& line)
{
    if (line.empty())
        return;
    for (LogSinkNode* node = list.head; node; node = node->next) {
        node->sink->write(message, level, channel, id, timestamp, line);
        if (level == LogLevel_CRITICAL)
            node->sink->flush();
    }
}

void flushAllLogSinks(LogSinkList& list)
{
    for (LogSinkNode* node = list.head; node; node = node->next)
        node->sink->flush();
}

void notifyAllLogSinks(void* argument)
{
    notifyLogSinkList(logSinkList(), argument);
}

void notifyLogSinkList(LogSinkList& list, void* argument)
{
    for (LogSinkNode* node = list.head; node; node = node->next)
        node->sink->notify(argument);
}

void notifyOptionalAllLogSinks(void* argument)
{
    notifyOptionalLogSinkList(logSinkList(), argument);
}

void notifyOptionalLogSinkList(LogSinkList& list, void* argument)
{
    for (LogSinkNode* node = list.head; node; node = node->next)
        node->sink->notifyOptional(argument);
}

void printStackTrace()
{
    void* frames[15];
    const int count = backtrace(frames, 15);
    char** symbols = backtrace_symbols(frames, count);
    logMessage("Printing Trace:", LogLevel_DEVEL, std::string(), 0);
    if (count <= 0 || !symbols) {
        std::free(symbols);
        return;
    }

    const std::string unknown = "<unknown>";
    for (int i = 0; i < count; ++i) {
        const std::string text = symbols[i];
        std::string module = unknown;
        std::string function = unknown;
        std::string address = unknown;

        const std::size_t open = text.find('(');
        const std::size_t plus = open == std::string::npos ? std::string::npos : text.find("+0x", open);
        const std::size_t bracket = text.find('[');
        if (plus != std::string::npos) {
            module = text.substr(0, open);
            const std::string mangled = text.substr(open + 1, plus - open - 1);
            int status = 0;
            char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
            if (status == 0 && demangled)
                function = demangled;
            else if (status == -2)
                function = mangled + "(...)";
            std::free(demangled);
        } else if (bracket != std::string::npos) {
            module = text.substr(0, bracket);
        }
        if (bracket != std::string::npos) {
            const std::size_t close = text.find(']', bracket);
            if (close != std::string::npos)
                address = text.substr(bracket + 1, close - bracket - 1);
        }

        writeFrameLine((boost::format("%4s%s in %s from %s") % ("#" + std::to_string(i)) % address % function % module)
                           .str());
    }
    std::free(symbols);
}

std::string makeEmptyLogString()
{
    return std::string();
}
