// The version server's reply parser on arbitrary bytes: it must answer 0 or 2 and, on 0, give
// consistent plain data.
#include "versionsinfo.h"

#include <google/protobuf/stubs/logging.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Protobuf reports every missing required field on stderr; that would drown the run.
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > size_t(INT_MAX))
        return 0;
    VersionsInfo info{};
    const int result = parseVersionsReply(reinterpret_cast<const char*>(data), int(size), &info);
    if (result != 0 && result != 2)
        std::abort();
    if (result == 2 && (!info.channelNames.empty() || !info.channels.empty()))
        std::abort();
    const std::set<std::string> names(info.channelNames.begin(), info.channelNames.end());
    if (names.size() != info.channels.size())
        std::abort();
    for (const auto& entry : info.channels)
        if (!names.count(entry.first))
            std::abort();
    return 0;
}
