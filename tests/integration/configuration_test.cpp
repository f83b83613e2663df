// The configuration worker, check-in and state report of the real binary
// against the API simulator: the fetch schedule a configuration sets, one
// check-in and another once the wall clock is set back, the state report at
// start, and the backoff after an answer that does not decode, whose deeply
// nested body the diagnostic log holds in bounded memory and size.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "daemon/core/diagnostic_log.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

using qvtest::headerOf;

// The daemon's environment for a wall clock shifted by the seconds written to
// `offsetFile` (the clock_shift stand-in, preloaded).
std::map<std::string, std::string> shiftedClock(const std::string& offsetFile) {
    std::map<std::string, std::string> environment{{"LD_PRELOAD", QV_CLOCK_SHIFT_LIBRARY},
                                                   {"QV_TEST_CLOCK_OFFSET_FILE", offsetFile}};
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's runtime otherwise insists on coming first.
    const char* options = std::getenv("ASAN_OPTIONS");
    environment["ASAN_OPTIONS"] = std::string(options ? options : "") + " verify_asan_link_order=0";
#endif
    return environment;
}

TEST(ConfigurationEndToEnd, FetchesOnTheConfiguredScheduleChecksInOnceAndBacksOff) {
#if !defined(__linux__)
    // macOS loads no LD_PRELOAD library, and DYLD_INSERT_LIBRARIES needs an
    // interposing library and a binary outside System Integrity Protection.
    GTEST_SKIP() << "the shifted wall clock is preloaded with LD_PRELOAD, which only Linux has";
#endif
    // Fetch every 2 s plus up to 1 s of jitter; retries after 0 to 1 s.
    qvtest::Simulator api(
        {"--configuration", json{{"computerConfigurationPingIntervalOverride", 2},
                                 {"globalMaxJitterOverride", 1},
                                 {"retryIntervalDownloadConfigurationMultiplierOverride", 1000},
                                 {"retryIntervalDownloadConfigurationMaxJitterOverride", 0},
                                 {"retryIntervalDownloadConfigurationMaxBackoffOverride", 1500},
                                 {"retryIntervalDownloadConfigurationMaxCollisionsOverride", 1}}
                                .dump()});
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY-1\\nACME\\nHQ");
    box.writeFile(qvtest::kProduct + "/debug.conf", "ENABLE_DIAGNOSTIC_LOGS=true\n");
    box.startDaemon(api.baseUrl(), shiftedClock(box.path("/clock-offset")));
    const std::string fetchLine = "INFO Making request for computer configuration.";
    ASSERT_TRUE(box.waitForLog(fetchLine)) << box.textLog();
    ASSERT_TRUE(api.waitForRequest("POST", "/computers/checkIn", 10s)) << box.textLog();
    ASSERT_TRUE(api.waitForRequest("POST", "/computers/state", 10s)) << box.textLog();

    // The first fetch drew its jitter from the default bound (30 s); from the
    // second on the configured schedule holds.
    ASSERT_TRUE(api.waitForRequest("GET", "/computers/configuration", 40s, 4)) << box.textLog();
    const auto fetches = api.requestsTo("GET", "/computers/configuration");
    ASSERT_GE(fetches.size(), 4u);
    for (std::size_t i = 2; i < fetches.size(); ++i) {
        const auto gap = (fetches[i]["steadyNs"].get<std::int64_t>() -
                          fetches[i - 1]["steadyNs"].get<std::int64_t>()) /
                         1000000;
        EXPECT_GE(gap, 1900) << i;
        EXPECT_LE(gap, 4000) << i;  // 3 ticks and the work
    }
    std::string log = box.textLog();
    EXPECT_NE(log.find("INFO Parsed Todo: GetConfigurationDTO(configuration: ConfigurationDTO("
                       "computerConfigurationPingIntervalOverride: 2, "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("INFO Got configuration at "), std::string::npos);
    EXPECT_NE(log.find("INFO Status code: 204"), std::string::npos);

    const auto token = api.state()["computers"]["cmp-1"]["token"].get<std::string>();
    const auto checkIns = api.requestsTo("POST", "/computers/checkIn");
    ASSERT_EQ(checkIns.size(), 1u);  // not again within the hour
    EXPECT_EQ(headerOf(checkIns[0], "Accept"), std::nullopt);
    EXPECT_EQ(headerOf(checkIns[0], "Authorization"), token);
    EXPECT_EQ(checkIns[0]["body"], "");
    const auto states = api.requestsTo("POST", "/computers/state");
    ASSERT_EQ(states.size(), 1u);  // at start; the next one is 9.5 minutes away
    EXPECT_EQ(headerOf(states[0], "x-client-name"), "mac-agent");  // the framework's transport
    EXPECT_NE(headerOf(states[0], "x-client-version").value_or(""), "");
    EXPECT_EQ(json::parse(states[0]["body"].get<std::string>()).contains("agentVersion"), true);
    EXPECT_NE(log.find("INFO Computer state sent successfully."), std::string::npos);

    // Two answers that do not decode: one logged failure, a silent failed
    // retry, then a good answer that puts the worker back on its schedule.
    // Their body, 100 KB of arrays 500 deep, would print as 50 MB indented.
    std::string deep = R"({"unexpected": [0)";
    for (int i = 0; i < 100; ++i)
        deep += "," + std::string(500, '[') + std::string(500, ']');
    const std::size_t before = fetches.size();
    api.addFault({{"method", "GET"},
                  {"path", "/computers/configuration"},
                  {"status", 200},
                  {"raw", deep + "]}"},
                  {"count", 2}});
    ASSERT_TRUE(api.waitForRequest("GET", "/computers/configuration", 15s, before + 4))
        << box.textLog();
    log = box.textLog();
    EXPECT_EQ(box.countInLog("INFO Failed to decode JSON: No value associated with key "
                             "\"configuration\""),
              2)
        << log;
    EXPECT_EQ(box.countInLog("ERROR Error on Configuration: Failed to decode JSON: "), 1) << log;
    EXPECT_TRUE(box.daemonRunning());
    EXPECT_EQ(api.requestsTo("POST", "/computers/checkIn").size(), 1u);
    EXPECT_GT(box.peakResidentBytes(), 0u);
    EXPECT_LT(box.peakResidentBytes(), qvtest::kMemoryBound);
    std::string diagnostics;
    for (const auto& entry :
         std::filesystem::directory_iterator(box.path(qvtest::kProduct + "/logs"))) {
        if (entry.path().filename().string().starts_with("diagnostic-"))
            diagnostics += qvtest::readFile(entry.path());
    }
    EXPECT_EQ(qvtest::countOf(diagnostics, " bytes not shown)\n"), 2);
    EXPECT_LT(diagnostics.size(), 3 * QVAgentLaunchDaemon::kDiagnosticEntryLimit);

    // The wall clock set back a day: the last check-in lies in the future, and
    // the next answer checks in again.
    box.writeFile("/clock-offset", "-86400");
    EXPECT_TRUE(api.waitForRequest("POST", "/computers/checkIn", 10s, 2)) << box.textLog();
}

}  // namespace
