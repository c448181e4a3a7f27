#include "versionsinfo.h"

#include "UpdateMessage.pb.h"

#include <google/protobuf/stubs/logging.h>

namespace {

void (*g_protobufLogSink)(bool fatal, const std::string& line) = nullptr;

const char* levelName(google::protobuf::LogLevel level)
{
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        return "INFO";
    case google::protobuf::LOGLEVEL_WARNING:
        return "WARNING";
    case google::protobuf::LOGLEVEL_ERROR:
        return "ERROR";
    case google::protobuf::LOGLEVEL_FATAL:
        return "FATAL";
    }
    return "";
}

void forwardProtobufLog(google::protobuf::LogLevel level, const char* filename, int line, const std::string& message)
{
    g_protobufLogSink(level == google::protobuf::LOGLEVEL_FATAL, std::string("libprotobuf ") + levelName(level) + " "
                          + filename + ":" + std::to_string(line) + ": " + message);
}

} // namespace

std::string g_versionServerUrl = std::string("http://") + VL_VERSION_SERVER_HOST + "/vl3-client-2";

std::string defaultVersionServerUrl()
{
    return g_versionServerUrl;
}

void verifyProtobufVersion()
{
    GOOGLE_PROTOBUF_VERIFY_VERSION;
}

void shutdownProtobuf()
{
    google::protobuf::ShutdownProtobufLibrary();
}

void routeProtobufLog(void (*sink)(bool fatal, const std::string& line))
{
    g_protobufLogSink = sink;
    google::protobuf::SetLogHandler(sink ? forwardProtobufLog : nullptr);
}

int parseVersionsReply(const char* data, int size, VersionsInfo* out)
{
    if (!data)
        return 1;
    if (size < 0 || !out)
        return 2;

    voxlane::update::Versions reply;
    if (!reply.ParseFromArray(data, size))
        return 2;

    out->licenseAgreementId = reply.licenseagreementid();
    out->licenseAgreementIdMin = reply.has_licenseagreementidmin() ? reply.licenseagreementidmin() : 0;
    for (const voxlane::update::Channel& channel : reply.channels()) {
        out->channelNames.push_back(channel.name());
        out->channels.emplace(channel.name(),
                              ChannelVersion{channel.version_number(), channel.version_string()});
    }
    return 0;
}
