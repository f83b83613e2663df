// The configuration fetch: the request on the wire, the completion handler's
// paths, the overrides it applies, the check-in decision and the check-in.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <thread>

#include "daemon/configuration/check_in.h"
#include "daemon/configuration/configuration.h"
#include "daemon/configuration/retry_interval.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/globals.h"
#include "support/loopback_server.h"

namespace {

using namespace QVAgentLaunchDaemon;
using namespace std::chrono_literals;
using platform::Json;
using Log = std::vector<std::string>;

constexpr std::int64_t kNow = 1'800'000'000'000;

Json configurationJson(std::int64_t configurationSeconds = 300) {
    return {{"configuration",
             {{"computerConfigurationPingIntervalOverride", configurationSeconds},
              {"computerCheckInPingIntervalOverride", 3600},
              {"computerStatePingIntervalOverride", 570},
              {"globalMaxJitterOverride", 30},
              {"retryIntervalDownloadConfigurationMultiplierOverride", 1000},
              {"retryIntervalDownloadConfigurationMaxJitterOverride", 0},
              {"retryIntervalDownloadConfigurationMaxBackoffOverride", 3600000},
              {"retryIntervalDownloadConfigurationMaxCollisionsOverride", 2},
              {"endpoints", {{"postCheckIn", {{"resourceUrl", "http://127.0.0.1:1/in"}}}}},
              {"pendingActions", Json::array()}}}};
}

platform::DataTaskResult answer(long status, std::optional<std::string> body) {
    platform::DataTaskResult result;
    result.response = platform::HttpResponse{status, {}};
    result.body = std::move(body);
    return result;
}

// The text-log entries written while `body` runs, as "LEVEL message".
template <typename Body>
Log logOf(Body body) {
    ::testing::internal::CaptureStdout();
    body();
    std::istringstream in(::testing::internal::GetCapturedStdout());
    Log entries;
    for (std::string line; std::getline(in, line);)
        entries.push_back(line.substr(line.find(' ') + 1));
    return entries;
}

class ConfigurationFetch : public ::testing::Test {
  protected:
    void SetUp() override {
        resetGlobals();
        hooks = {[this] { return now; },
                 [this] {
                     ++checkIns;
                     if (checkInThrows)
                         throw CustomError("boom");
                 },
                 [this](std::vector<PendingActionDTO> list) { started.push_back(list); }};
    }
    void TearDown() override { resetGlobals(); }
    static void resetGlobals() {
        _getConfigurationWorkerIntervalInMilliseconds = kDefaultConfigurationIntervalMs;
        _computerCheckInWorkerIntervalInMilliseconds = kDefaultCheckInIntervalMs;
        _computerStatePingIntervalInMilliseconds = kDefaultStatePingIntervalMs;
        _globalMaxJitter = kDefaultGlobalMaxJitterMs;
        _lastCheckedInAt = -1;
        RetryInterval::getConfigurationMultiplierInMilliseconds = 270000;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = 30000;
        RetryInterval::getConfigurationMaxBackoffInMilliseconds = 3600000;
        RetryInterval::getConfigurationMaxCollisions = 6;
        Endpoints::postCheckIn.set(std::nullopt);
        authorizationToken.set(std::nullopt);
    }
    std::optional<std::string> handle(const platform::DataTaskResult& result) {
        return handleConfigurationAnswer(result, hooks);
    }

    ConfigurationHooks hooks;
    std::int64_t now = kNow;
    int checkIns = 0;
    bool checkInThrows = false;
    std::vector<std::vector<PendingActionDTO>> started;
};

TEST_F(ConfigurationFetch, AppliesAllNineValuesUnvalidatedSaturatedAndNothingFromABadAnswer) {
    auto log = logOf([&] {
        EXPECT_EQ(handle(answer(200, std::nullopt))->rfind("Failed to decode JSON: ", 0), 0u);
    });
    EXPECT_EQ(log.back(), "ERROR No Reponse JSON to parse.");
    EXPECT_EQ(log.at(1).rfind("INFO Failed to decode JSON: ", 0), 0u);
    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, kDefaultConfigurationIntervalMs);
    EXPECT_EQ(Endpoints::postCheckIn.get(), std::nullopt);

    Json json = configurationJson(0);
    json["configuration"]["computerCheckInPingIntervalOverride"] = -5;
    json["configuration"]["globalMaxJitterOverride"] = INT64_MAX / 10;
    json["configuration"]["computerStatePingIntervalOverride"] = INT64_MIN / 100;
    json["configuration"]["retryIntervalDownloadConfigurationMaxBackoffOverride"] = -7;
    log = logOf([&] { EXPECT_EQ(handle(answer(200, json.dump())), std::nullopt); });
    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, 0);
    EXPECT_EQ(_computerCheckInWorkerIntervalInMilliseconds, -5000);
    EXPECT_EQ(_globalMaxJitter, INT64_MAX);
    EXPECT_EQ(_computerStatePingIntervalInMilliseconds, INT64_MIN);
    EXPECT_EQ(RetryInterval::getConfigurationMultiplierInMilliseconds, 1000);  // not scaled
    EXPECT_EQ(RetryInterval::getConfigurationMaxJitterInMilliseconds, 0);
    EXPECT_EQ(RetryInterval::getConfigurationMaxBackoffInMilliseconds, -7);
    EXPECT_EQ(RetryInterval::getConfigurationMaxCollisions, 2);
    EXPECT_EQ(Endpoints::postCheckIn.get(), "http://127.0.0.1:1/in");
    EXPECT_EQ(log.at(1).rfind("INFO Parsed Todo: GetConfigurationDTO(", 0), 0u);
    EXPECT_EQ(log.at(2).rfind("INFO Got configuration at ", 0), 0u);
}

TEST_F(ConfigurationFetch, OtherStatusesAndTransportErrorsAreLoggedButNotFailures) {
    auto log = logOf([&] { EXPECT_EQ(handle(answer(500, R"({"error":"x"})")), std::nullopt); });
    EXPECT_EQ(log,
              (Log{"INFO Status code: 500", "ERROR Request failed.", "INFO Raw JSON response:"}));
    platform::DataTaskResult transport;
    transport.error = "Couldn't connect to server";
    log = logOf([&] { EXPECT_EQ(handle(transport), std::nullopt); });
    EXPECT_EQ(log, (Log{"ERROR Request error: Couldn't connect to server"}));
    EXPECT_EQ(checkIns, 0);
}

TEST_F(ConfigurationFetch, ChecksInWhenDueAndHandsOnPendingActions) {
    Json json = configurationJson();
    handle(answer(200, json.dump()));
    EXPECT_EQ(checkIns, 1);
    EXPECT_EQ(_lastCheckedInAt, kNow);
    EXPECT_TRUE(started.empty());

    now = kNow + 3600000;  // equal is not due
    json["configuration"]["pendingActions"] = Json::parse(R"([{"type":"a"},{"type":"b"}])");
    handle(answer(200, json.dump()));
    EXPECT_EQ(checkIns, 1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].at(1).type, "b");

    now = kNow + 3600001;
    checkInThrows = true;
    std::optional<std::string> failure;
    auto log = logOf([&] { failure = handle(answer(200, configurationJson(12).dump())); });
    EXPECT_EQ(failure, "Check in failed");
    EXPECT_EQ(log.back(), "ERROR Check in failed: boom");
    EXPECT_EQ(_lastCheckedInAt, kNow);
    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, 12000);  // already applied
    EXPECT_FALSE(isCheckInDue(INT64_MAX - 1, INT64_MAX, INT64_MAX));  // no wrap into the past
}

TEST_F(ConfigurationFetch, SendsTheAuthorizedRequestAndThrowsOnlyForDecodeFailures) {
    qvtest::LoopbackServer server;
    std::string body = configurationJson(42).dump();
    server.Get("/computers/configuration", [&](const auto&, auto& res) {
        res.status = body.empty() ? 401 : 200;
        res.body = body;
        res.contentType = "application/json";
    });
    checkInBaseUrl = server.url("");
    authorizationToken.set("Bearer tok-1");
    getConfiguration(hooks);
    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, 42000);
    auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Accept"), "application/vnd.quorvel.v3+json");
    EXPECT_EQ(request.header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(request.body, "");

    body = "";
    EXPECT_NO_THROW(getConfiguration(hooks));
    body = "{}";
    EXPECT_THROW(getConfiguration(hooks), CustomError);
    checkInBaseUrl = "not a url";
    EXPECT_THROW(getConfiguration(hooks), CustomError);
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(ConfigurationFetch, CheckInPostsBarelyAndReturnsBeforeTheAnswer) {
    qvtest::LoopbackServer server;
    server.Post("/in", [](const auto&, auto& res) {
        std::this_thread::sleep_for(300ms);
        res.status = 204;
    });
    Endpoints::postCheckIn.set(server.url("/in"));
    authorizationToken.set("tok-bare");
    auto log = logOf([&] {
        const auto begin = std::chrono::steady_clock::now();
        checkIn();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 250ms);
        ASSERT_TRUE(server.waitForRequests(1, 5s));
        std::this_thread::sleep_for(600ms);
    });
    EXPECT_EQ(log, (Log{"INFO Performing check-in", "INFO Making check-in request",
                        "INFO Status code: 204"}));
    auto request = server.requests().at(0);
    EXPECT_EQ(request.header("Accept"), std::nullopt);
    EXPECT_EQ(request.header("Authorization"), "tok-bare");
    EXPECT_EQ(request.body, "");

    Endpoints::postCheckIn.set("");
    log = logOf([] { checkIn(); });
    EXPECT_EQ(log, (Log{"INFO Performing check-in", "ERROR Invalid URL for checkIn"}));
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(ConfigurationTimeOfDay, IsUnpaddedLocalTime) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(localHourAndMinute(1'765'116'420'000), "14:7");  // 2025-12-07 14:07 UTC
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
