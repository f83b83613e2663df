// Strict decoding of the configuration payload, its encoding and its log line.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "daemon/configuration/configuration.h"

namespace {

using namespace QVAgentLaunchDaemon;
using platform::Json;
using Pointer = Json::json_pointer;

const Json kDocument = Json::parse(R"({"configuration": {
    "computerConfigurationPingIntervalOverride": 300,
    "computerCheckInPingIntervalOverride": 3600,
    "computerStatePingIntervalOverride": 570,
    "globalMaxJitterOverride": 30,
    "retryIntervalDownloadConfigurationMultiplierOverride": 270000,
    "retryIntervalDownloadConfigurationMaxJitterOverride": 30000,
    "retryIntervalDownloadConfigurationMaxBackoffOverride": 3600000,
    "retryIntervalDownloadConfigurationMaxCollisionsOverride": 6,
    "endpoints": {"postCheckIn": {"resourceUrl": "https://checkin.example/c/1"}},
    "pendingActions": [{"type": "updateAgent", "value": "req-1", "display": "2.0"},
                       {"type": "uninstallAgent"}]}})");

std::optional<GetConfigurationDTO> decode(const Json& json, std::string* error = nullptr) {
    std::string ignored;
    return decodeGetConfiguration(json.dump(), error ? *error : ignored);
}

TEST(ConfigurationPayload, DecodesAndEncodesBackIgnoringExtraMembers) {
    Json json = kDocument;
    json["extra"] = 1;
    json["configuration"]["newOverrideKey"] = "x";
    json["configuration"]["pendingActions"].push_back({{"type", "t"}, {"value", nullptr}});
    json["configuration"]["computerStatePingIntervalOverride"] = 570.0;  // still whole
    auto dto = decode(json);
    ASSERT_TRUE(dto);
    const auto& actions = dto->configuration.pendingActions;
    ASSERT_EQ(actions.size(), 3u);
    EXPECT_EQ(actions[0].display, "2.0");
    EXPECT_EQ(actions[2].value, std::nullopt);
    Json expected = kDocument;
    expected["configuration"]["pendingActions"].push_back({{"type", "t"}});
    EXPECT_EQ(encode(*dto), expected);

    const std::string line = describe(*dto);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    for (const char* text : {"computerConfigurationPingIntervalOverride: 300",
                             "retryIntervalDownloadConfigurationMaxCollisionsOverride: 6",
                             "resourceUrl: \"https://checkin.example/c/1\"",
                             "value: Optional(\"req-1\")", "display: nil"})
        EXPECT_NE(line.find(text), std::string::npos) << text << " in " << line;

    json["configuration"]["pendingActions"] = Json::array();
    ASSERT_TRUE(decode(json));
    EXPECT_TRUE(decode(json)->configuration.pendingActions.empty());
}

TEST(ConfigurationPayload, MissingNullMistypedOrOutOfRangeMembersFailNamingTheirPath) {
    std::vector<std::string> required = {"/configuration",
                                         "/configuration/endpoints",
                                         "/configuration/endpoints/postCheckIn",
                                         "/configuration/endpoints/postCheckIn/resourceUrl",
                                         "/configuration/pendingActions",
                                         "/configuration/pendingActions/1/type"};
    for (const auto& [key, value] : kDocument["configuration"].items()) {
        if (value.is_number())
            required.push_back("/configuration/" + key);
    }
    ASSERT_EQ(required.size(), 14u);
    for (const auto& path : required) {
        const Pointer pointer(path);
        std::string dotted = path.substr(1);
        std::replace(dotted.begin(), dotted.end(), '/', '.');
        dotted = std::regex_replace(dotted, std::regex("\\.(\\d+)"), "[$1]");
        Json missing = kDocument;
        missing[pointer.parent_pointer()].erase(pointer.back());
        Json null = kDocument;
        null[pointer] = nullptr;
        for (const Json& json : {missing, null}) {
            std::string error;
            EXPECT_FALSE(decode(json, &error)) << path;
            EXPECT_NE(error.find("\"" + dotted + "\""), std::string::npos) << error;
        }
    }

    const Pointer interval("/configuration/computerConfigurationPingIntervalOverride");
    for (const char* bad : {"270.5", "\"270\"", "true", "9223372036854775808", "1e19"}) {
        Json json = kDocument;
        json[interval] = Json::parse(bad);
        EXPECT_FALSE(decode(json)) << bad;
    }
    Json extreme = kDocument;
    extreme[interval] = INT64_MIN;
    EXPECT_EQ(decode(extreme)->configuration.computerConfigurationPingIntervalOverride, INT64_MIN);

    for (const char* bad : {R"({"type": 1})", R"({"type": "x", "value": 5})", R"("x")"}) {
        Json json = kDocument;
        json["configuration"]["pendingActions"].push_back(Json::parse(bad));
        std::string error;
        EXPECT_FALSE(decode(json, &error)) << bad;  // no partial list
        EXPECT_NE(error.find("pendingActions[2]"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(decodeGetConfiguration("", error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
