// Strict decoding of the configuration payload, its encoding and its log line.

#include <gtest/gtest.h>

#include "daemon/configuration.h"

namespace {

using namespace QVAgentLaunchDaemon;
using platform::Json;

const char* const kIntegerKeys[] = {"computerConfigurationPingIntervalOverride",
                                    "computerCheckInPingIntervalOverride",
                                    "computerStatePingIntervalOverride",
                                    "globalMaxJitterOverride",
                                    "retryIntervalDownloadConfigurationMultiplierOverride",
                                    "retryIntervalDownloadConfigurationMaxJitterOverride",
                                    "retryIntervalDownloadConfigurationMaxBackoffOverride",
                                    "retryIntervalDownloadConfigurationMaxCollisionsOverride"};

Json document() {
    return Json::parse(R"({"configuration": {
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
}

std::optional<GetConfigurationDTO> decode(const Json& json, std::string* errorOut = nullptr) {
    std::string error;
    auto dto = decodeGetConfiguration(json.dump(), error);
    if (errorOut)
        *errorOut = error;
    return dto;
}

TEST(ConfigurationPayload, DecodesEveryFieldInOrderAndEncodesBackTheSameKeys) {
    auto dto = decode(document());
    ASSERT_TRUE(dto);
    const auto& c = dto->configuration;
    EXPECT_EQ(c.computerConfigurationPingIntervalOverride, 300);
    EXPECT_EQ(c.retryIntervalDownloadConfigurationMaxCollisionsOverride, 6);
    EXPECT_EQ(c.endpoints.postCheckIn.resourceUrl, "https://checkin.example/c/1");
    ASSERT_EQ(c.pendingActions.size(), 2u);
    EXPECT_EQ(c.pendingActions[0].value, "req-1");
    EXPECT_EQ(c.pendingActions[1].type, "uninstallAgent");
    EXPECT_EQ(c.pendingActions[1].value, std::nullopt);
    EXPECT_EQ(c.pendingActions[1].display, std::nullopt);
    EXPECT_EQ(encode(*dto), document());

    const std::string line = describe(*dto);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    for (const char* key : kIntegerKeys)
        EXPECT_NE(line.find(key), std::string::npos) << key;
    EXPECT_NE(line.find("value: Optional(\"req-1\")"), std::string::npos) << line;
    EXPECT_NE(line.find("display: nil"), std::string::npos) << line;
}

TEST(ConfigurationPayload, EveryRequiredMemberMissingOrNullFailsNamingItsPath) {
    std::vector<std::pair<Json::json_pointer, std::string>> required = {
        {Json::json_pointer("/configuration"), "configuration"},
        {Json::json_pointer("/configuration/endpoints"), "configuration.endpoints"},
        {Json::json_pointer("/configuration/endpoints/postCheckIn"),
         "configuration.endpoints.postCheckIn"},
        {Json::json_pointer("/configuration/endpoints/postCheckIn/resourceUrl"),
         "configuration.endpoints.postCheckIn.resourceUrl"},
        {Json::json_pointer("/configuration/pendingActions"), "configuration.pendingActions"},
        {Json::json_pointer("/configuration/pendingActions/0/type"),
         "configuration.pendingActions[0].type"}};
    for (const char* key : kIntegerKeys)
        required.emplace_back(Json::json_pointer("/configuration/" + std::string(key)),
                              "configuration." + std::string(key));
    for (const auto& [pointer, path] : required) {
        Json missing = document();
        missing[pointer.parent_pointer()].erase(pointer.back());
        std::string error;
        EXPECT_FALSE(decode(missing, &error)) << path;
        EXPECT_NE(error.find("\"" + path + "\""), std::string::npos) << error;

        Json null = document();
        null[pointer] = nullptr;
        EXPECT_FALSE(decode(null, &error)) << path;
        EXPECT_NE(error.find("\"" + path + "\""), std::string::npos) << error;
    }
}

TEST(ConfigurationPayload, IntegersMustBeWholeNumbersWithinSixtyFourBits) {
    const Json::json_pointer key("/configuration/computerConfigurationPingIntervalOverride");
    for (const char* bad : {"270.5", "\"270\"", "true", "9223372036854775808", "1e19", "[]"}) {
        Json json = document();
        json[key] = Json::parse(bad);
        EXPECT_FALSE(decode(json)) << bad;
    }
    for (auto [text, value] :
         std::vector<std::pair<const char*, std::int64_t>>{{"0", 0},
                                                           {"-5", -5},
                                                           {"270.0", 270},
                                                           {"9223372036854775807", INT64_MAX},
                                                           {"-9223372036854775808", INT64_MIN}}) {
        Json json = document();
        json[key] = Json::parse(text);
        auto dto = decode(json);
        ASSERT_TRUE(dto) << text;
        EXPECT_EQ(dto->configuration.computerConfigurationPingIntervalOverride, value);
    }
}

TEST(ConfigurationPayload, ExtraMembersIgnoredOptionalFieldsAbsentOneBadActionFailsAll) {
    Json json = document();
    json["extra"] = 1;
    json["configuration"]["newOverrideKey"] = "x";
    json["configuration"]["endpoints"]["postCheckIn"]["method"] = "POST";
    json["configuration"]["pendingActions"][0]["value"] = nullptr;
    json["configuration"]["pendingActions"][0]["display"] = "";
    auto dto = decode(json);
    ASSERT_TRUE(dto);
    EXPECT_EQ(dto->configuration.pendingActions[0].value, std::nullopt);
    EXPECT_EQ(dto->configuration.pendingActions[0].display, "");
    EXPECT_EQ(encode(*dto)["configuration"]["pendingActions"][0],
              Json::parse(R"({"type": "updateAgent", "display": ""})"));

    json["configuration"]["pendingActions"] = Json::array();
    ASSERT_TRUE(decode(json));
    EXPECT_TRUE(decode(json)->configuration.pendingActions.empty());

    for (const char* bad : {R"({"type": 1})", R"({"type": "x", "value": 5})", R"("updateAgent")"}) {
        Json withBad = document();
        withBad["configuration"]["pendingActions"].push_back(Json::parse(bad));
        std::string error;
        EXPECT_FALSE(decode(withBad, &error)) << bad;
        EXPECT_NE(error.find("pendingActions[2]"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(decodeGetConfiguration("", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(decodeGetConfiguration("[1]", error));
}

}  // namespace
