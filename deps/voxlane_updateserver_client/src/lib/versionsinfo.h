// The version server's reply as plain data, and the parser that checks and decodes it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ChannelVersion {
    int32_t version_number;
    std::string version_string;
};

struct VersionsInfo {
    int32_t licenseAgreementId;
    int32_t licenseAgreementIdMin;
    // Every channel name in reply order, duplicates included.
    std::vector<std::string> channelNames;
    // Per name, the values of its first occurrence.
    std::map<std::string, ChannelVersion> channels;
};

// 0: parsed into `out` (appended); 1: data is null; 2: not one complete Versions message.
int parseVersionsReply(const char* data, int size, VersionsInfo* out);

// The URL text of the version server's reply; tests point it at a server of their own.
extern std::string g_versionServerUrl;
std::string defaultVersionServerUrl();

// The protobuf runtime's version check against the generated code, and its shutdown.
void verifyProtobufVersion();
void shutdownProtobuf();

// Hands each line that the protobuf runtime would print on standard error to `sink` instead,
// with whether the runtime ends the process after it. Set once at start-up.
void routeProtobufLog(void (*sink)(bool fatal, const std::string& line));
