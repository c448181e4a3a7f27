#include "versionsinfo.h"

#include "UpdateMessage.pb.h"

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
