// The configuration's texts: the API's payload decoded strictly, naming the
// path of what is wrong, the fetch as it leaves, and the local debug.conf.

#include <array>

#include "daemon/configuration/configuration.h"
#include "daemon/watchers/config_watcher.h"
#include "unit/world.h"

namespace {

using namespace QVAgentLaunchDaemon;
using platform::Json;

const Json kDocument = Json::parse(R"({"configuration": {
    "computerConfigurationPingIntervalOverride": 300, "computerCheckInPingIntervalOverride": 3600,
    "computerStatePingIntervalOverride": 570, "globalMaxJitterOverride": 30,
    "retryIntervalDownloadConfigurationMultiplierOverride": 270000,
    "retryIntervalDownloadConfigurationMaxJitterOverride": 30000,
    "retryIntervalDownloadConfigurationMaxBackoffOverride": 3600000,
    "retryIntervalDownloadConfigurationMaxCollisionsOverride": 6,
    "endpoints": {"postCheckIn": {"resourceUrl": "https://checkin.example/c/1"}},
    "pendingActions": [{"type": "updateAgent", "value": "r", "display": "2"}, {"type": "x"}]}})");

TEST(ConfigurationPayload, AMemberMissingNullMistypedOrOutOfRangeFailsTheDecodeNamingItsPath) {
    const std::string interval = "/configuration/computerConfigurationPingIntervalOverride",
                      actions = "/configuration/pendingActions", key = "for key \"configuration.",
                      none = "No value associated with key \"configuration.";
    // clang-format off
    const std::vector<std::array<std::string, 3>> rows = {  // pointer, value (none: absent), error
        {interval, "9223372036854775807", ""}, {interval, "-9.223372036854775808e18", ""},
        {interval, "270.0", ""}, {actions + "/2", R"({"type":"t","value":null})", ""},
        {interval, "", none + "computerConfigurationPingIntervalOverride\""},
        {"/configuration/endpoints/postCheckIn", "{}", none + "endpoints.postCheckIn.resourceUrl"},
        {actions + "/1/type", "null", "a value " + key + "pendingActions[1].type\" but found null"},
        {interval, "270.5", "number <270.5> " + key + "computerConfigurationPingIntervalOverride"},
        {interval, "9223372036854775808", "<9223372036854775808> " + key + "computerConf"},
        {interval, "9.223372036854775808e18", "does not fit in a signed 64-bit integer"},
        {interval, "\"270\"", "Expected to decode an integer " + key + "computerConfigurationPing"},
        {"/configuration/endpoints", "[]", "decode a dictionary " + key + "endpoints\""},
        {actions, "{}", "Expected to decode an array " + key + "pendingActions\" but found object"},
        {actions + "/2", R"({"type": "t", "display": 5})", "pendingActions[2].display\" but found"},
        {actions + "/2", "7", "dictionary at \"configuration.pendingActions[2]\" but found number"},
        {"", "[]", "Expected to decode a dictionary at the top level but found array"}};
    // clang-format on
    for (const auto& [path, value, expected] : rows) {
        Json json = kDocument;
        const Json::json_pointer pointer(path);
        if (value.empty())
            json[pointer.parent_pointer()].erase(pointer.back());
        else
            json[pointer] = Json::parse(value);
        const auto decoded = decodeGetConfiguration(json.dump());
        EXPECT_EQ(decoded.failed(), !expected.empty()) << path << value;
        EXPECT_NE(decoded.error().find(expected), std::string::npos) << decoded.error();
    }
    Json extra = kDocument;  // unknown members are ignored, absent optional ones stay absent
    extra["configuration"]["newOverride"] = extra["more"] = 1;
    const auto dto = decodeGetConfiguration(extra.dump());
    EXPECT_EQ(encode(*dto), kDocument);
}

using ConfigurationFetch = qvtest::World;

TEST_F(ConfigurationFetch, AsksForVersionThreeWithTheTokenAndTheClientsHeaders) {
    answer("GET", "/computers/configuration", 200, kDocument.dump());
    qvtest::stdoutOf([] {
        getConfiguration({[] { return std::int64_t{0}; }, [] {}, [](auto) {}});
    });
    // clang-format off
    for (const auto& [name, value] : platform::HeaderList{{"Authorization", "Bearer tok-1"},
            {"Accept", "application/vnd.quorvel.v3+json"}, {"x-client-name", "mac-agent"},
            {"Content-Type", "application/json; charset=utf-8"},
            {"x-client-version", App::Core::Metadata::version()}})
        // clang-format on
        EXPECT_EQ(qvtest::headerOf(api.requests().at(0), name), value);
}

TEST(DebugConf, ParsesKeyValueLinesByTheFileFormatsRules) {
    // clang-format off
    for (const auto& [text, described] : std::vector<std::pair<std::string, std::string>>{
            {"", "[:]"}, {"A=\n=\n# B=1\nnoequals\n", "[:]"}, {"A=1\nA=2", "[\"A\": \"2\"]"},
            {"  ENABLE_DIAGNOSTIC_LOGS  =  true \t\n", "[\"ENABLE_DIAGNOSTIC_LOGS\": \"true\"]"},
            {"\xC2\xA0" "A=1\xE3\x80\x80\n", "[\"A\": \"1\"]"},  // Unicode spaces
            {"\n\nb=2\na=1", "[\"a\": \"1\", \"b\": \"2\"]"}, {"==U=x/?a=b", "[\"U\": \"x/?a=b\"]"},
            {"A=1\r\nB=2\r\n", "[\"A\": \"1\r\nB=2\r\n\"]"}})  // CR LF is no line break
        EXPECT_EQ(describeConfig(parseConfigText(text)), described) << text;
    // clang-format on
}

}  // namespace
