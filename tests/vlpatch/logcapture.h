// Collects the patcher's log messages while it lives, so tests can check what was reported.
#pragma once

#include "voxlog.h"

#include <string>
#include <vector>

class LogCapture : public LogBase {
public:
    std::vector<std::string> messages;

    void flush() override {}
    void notify(void*) override {}
    void write(const std::string& message, int, const std::string&, uint64_t, const std::string&,
               const std::string&) override
    {
        messages.push_back(message);
    }

    std::string last() const { return messages.empty() ? std::string() : messages.back(); }
};
