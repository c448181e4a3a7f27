#include "protoencode.h"
#include "versionsinfo.h"

#include <gtest/gtest.h>

namespace {

std::string encode(const std::string& text)
{
    return protocEncode(VL_UPDATEMESSAGE_PROTO, "voxlane.update.Versions", text);
}

// Replies the real schema cannot express: missing required fields, unknown fields.
std::string encodeLoose(const std::string& text)
{
    return protocEncode(VL_LOOSE_PROTO, "voxlane.update.loose.Versions", text);
}

int parse(const std::string& bytes, VersionsInfo* out)
{
    return parseVersionsReply(bytes.data(), int(bytes.size()), out);
}

const char* const kTwoChannels = R"(
licenseAgreementId: 7
channels { name: "stable" version_number: 10 version_string: "3.5.0" }
channels { name: "beta" version_number: 11 version_string: "3.5.1" }
licenseAgreementIdMin: 3
)";

void expectTwoChannels(const VersionsInfo& info)
{
    EXPECT_EQ(info.licenseAgreementId, 7);
    EXPECT_EQ(info.licenseAgreementIdMin, 3);
    EXPECT_EQ(info.channelNames, (std::vector<std::string>{"stable", "beta"}));
    ASSERT_EQ(info.channels.size(), 2u);
    EXPECT_EQ(info.channels.at("stable").version_number, 10);
    EXPECT_EQ(info.channels.at("stable").version_string, "3.5.0");
    EXPECT_EQ(info.channels.at("beta").version_number, 11);
    EXPECT_EQ(info.channels.at("beta").version_string, "3.5.1");
}

} // namespace

TEST(ParseVersionsReply, DecodesChannelsInReplyOrder)
{
    VersionsInfo info{};
    ASSERT_EQ(parse(encode(kTwoChannels), &info), 0);
    expectTwoChannels(info);
}

const char* const kStable = R"(channels { name: "stable" version_number: 10 version_string: "3.5.0" })";
const char* const kBeta = R"(channels { name: "beta" version_number: 11 version_string: "3.5.1" })";

TEST(ParseVersionsReply, AcceptsFieldsInAnyOrder)
{
    // Concatenated messages are one message on the wire: this sends fields 3, 2, 2, 1.
    const std::string reversed = encode("licenseAgreementIdMin: 3 licenseAgreementId: 7").substr(2)
                                 + encodeLoose(kStable) + encodeLoose(kBeta) + encode("licenseAgreementId: 7");
    ASSERT_EQ(reversed[0], char(24)) << "the reply must start with field 3";
    VersionsInfo info{};
    ASSERT_EQ(parse(reversed, &info), 0);
    expectTwoChannels(info);
}

TEST(ParseVersionsReply, SkipsUnknownFields)
{
    const std::string reply = encodeLoose(R"(
        licenseAgreementId: 7 note: "ignored"
        channels { name: "stable" version_number: 10 version_string: "3.5.0" note: "ignored" }
        channels { name: "beta" version_number: 11 version_string: "3.5.1" }
        licenseAgreementIdMin: 3)");
    VersionsInfo info{};
    ASSERT_EQ(parse(reply, &info), 0);
    expectTwoChannels(info);
}

TEST(ParseVersionsReply, RejectsMissingRequiredFieldsWithoutTouchingOutput)
{
    const char* const replies[] = {
        // licenseAgreementId missing
        R"(channels { name: "stable" version_number: 10 version_string: "3.5.0" })",
        // one channel without version_string, the other complete
        R"(licenseAgreementId: 7
           channels { name: "stable" version_number: 10 version_string: "3.5.0" }
           channels { name: "beta" version_number: 11 })",
        R"(licenseAgreementId: 7 channels { version_number: 10 version_string: "3.5.0" })",
        R"(licenseAgreementId: 7 channels { name: "stable" version_string: "3.5.0" })",
    };
    for (const char* text : replies) {
        VersionsInfo info{};
        info.licenseAgreementId = 99;
        EXPECT_EQ(parse(encodeLoose(text), &info), 2) << text;
        EXPECT_EQ(info.licenseAgreementId, 99) << text;
        EXPECT_TRUE(info.channelNames.empty()) << text;
        EXPECT_TRUE(info.channels.empty()) << text;
    }
}

TEST(ParseVersionsReply, RejectsEmptyTruncatedAndForeignBodies)
{
    VersionsInfo info{};
    EXPECT_EQ(parseVersionsReply("", 0, &info), 2);
    const std::string good = encode(kTwoChannels);
    // Cutting between whole fields leaves a shorter complete message; any other cut breaks it.
    const size_t afterId = encode("licenseAgreementId: 7").size();
    const size_t afterStable = afterId + encodeLoose(kStable).size();
    const size_t afterBeta = afterStable + encodeLoose(kBeta).size();
    for (size_t cut = 1; cut < good.size(); ++cut) {
        VersionsInfo partial{};
        const bool whole = cut == afterId || cut == afterStable || cut == afterBeta;
        EXPECT_EQ(parse(good.substr(0, cut), &partial), whole ? 0 : 2) << "cut at " << cut;
    }
    EXPECT_EQ(parse("<html>404 Not Found</html>", &info), 2);
    EXPECT_EQ(parse(std::string(64, '\xff'), &info), 2);
    EXPECT_EQ(parseVersionsReply(good.data(), -1, &info), 2);
    EXPECT_TRUE(info.channelNames.empty());
}

TEST(ParseVersionsReply, NullDataIsResultOne)
{
    VersionsInfo info{};
    info.licenseAgreementId = 99;
    EXPECT_EQ(parseVersionsReply(nullptr, 10, &info), 1);
    EXPECT_EQ(info.licenseAgreementId, 99);
}

TEST(ParseVersionsReply, ReplyWithoutChannelsSucceedsEmpty)
{
    VersionsInfo info{};
    ASSERT_EQ(parse(encode("licenseAgreementId: 7"), &info), 0);
    EXPECT_EQ(info.licenseAgreementId, 7);
    EXPECT_EQ(info.licenseAgreementIdMin, 0);
    EXPECT_TRUE(info.channelNames.empty());
    EXPECT_TRUE(info.channels.empty());
}

TEST(ParseVersionsReply, DuplicateChannelKeepsFirstValues)
{
    VersionsInfo info{};
    ASSERT_EQ(parse(encode(R"(licenseAgreementId: 1
        channels { name: "stable" version_number: 10 version_string: "a" }
        channels { name: "stable" version_number: 11 version_string: "b" })"), &info), 0);
    EXPECT_EQ(info.channelNames, (std::vector<std::string>{"stable", "stable"}));
    ASSERT_EQ(info.channels.size(), 1u);
    EXPECT_EQ(info.channels.at("stable").version_number, 10);
    EXPECT_EQ(info.channels.at("stable").version_string, "a");
}

TEST(ParseVersionsReply, NegativeVersionNumberKeepsItsBits)
{
    const std::string reply = encode(R"(licenseAgreementId: -2
        channels { name: "stable" version_number: -1 version_string: "x" })");
    // -1 travels as a ten-byte varint.
    EXPECT_NE(reply.find(std::string("\x10\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 11)), std::string::npos);
    VersionsInfo info{};
    ASSERT_EQ(parse(reply, &info), 0);
    EXPECT_EQ(info.licenseAgreementId, -2);
    EXPECT_EQ(uint32_t(info.channels.at("stable").version_number), 0xffffffffu);
}

TEST(DefaultVersionServerUrl, IsTheReplyPathOnTheConfiguredHost)
{
    EXPECT_EQ(defaultVersionServerUrl(), "http://" VL_VERSION_SERVER_HOST "/vl3-client-2");
}
