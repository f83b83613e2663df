// The configuration fetch: the request on the wire, the completion handler's
// paths, the overrides it applies, the check-in decision and the check-in.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <thread>

#include "daemon/check_in.h"
#include "daemon/configuration.h"
#include "daemon/custom_error.h"
#include "daemon/globals.h"
#include "daemon/retry_interval.h"
#include "support/loopback_server.h"

namespace {

using namespace QVAgentLaunchDaemon;
using namespace std::chrono_literals;
using platform::Json;

constexpr std::int64_t kNow = 1'800'000'000'000;

Json configurationJson(std::int64_t configurationSeconds = 300,
                       std::int64_t checkInSeconds = 3600) {
    return {{"configuration",
             {{"computerConfigurationPingIntervalOverride", configurationSeconds},
              {"computerCheckInPingIntervalOverride", checkInSeconds},
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

class ConfigurationFetch : public ::testing::Test {
  protected:
    void SetUp() override {
        resetGlobals();
        hooks.nowUnixMilliseconds = [this] { return now; };
        hooks.checkIn = [this] {
            ++checkIns;
            if (checkInThrows)
                throw CustomError("boom");
        };
        hooks.startPendingActions = [this](std::vector<PendingActionDTO> list) {
            started.push_back(std::move(list));
        };
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

    // The text-log entries written while `body` runs, as "LEVEL message".
    template <typename Body>
    static std::vector<std::string> logOf(Body body) {
        ::testing::internal::CaptureStdout();
        body();
        std::istringstream in(::testing::internal::GetCapturedStdout());
        std::vector<std::string> entries;
        for (std::string line; std::getline(in, line);)
            entries.push_back(line.substr(line.find(' ') + 1));
        return entries;
    }
    static bool hasPrefix(const std::vector<std::string>& log, const std::string& prefix) {
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
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

TEST_F(ConfigurationFetch, AppliesAllNineValuesUnvalidatedAndSaturatesHugeSeconds) {
    Json json = configurationJson(0, -5);
    json["configuration"]["globalMaxJitterOverride"] = INT64_MAX / 10;
    json["configuration"]["computerStatePingIntervalOverride"] = INT64_MIN / 100;
    json["configuration"]["retryIntervalDownloadConfigurationMaxBackoffOverride"] = -7;
    auto log = logOf([&] { EXPECT_EQ(handle(answer(200, json.dump())), std::nullopt); });

    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, 0);
    EXPECT_EQ(_computerCheckInWorkerIntervalInMilliseconds, -5000);
    EXPECT_EQ(_globalMaxJitter, INT64_MAX);
    EXPECT_EQ(_computerStatePingIntervalInMilliseconds, INT64_MIN);
    EXPECT_EQ(RetryInterval::getConfigurationMultiplierInMilliseconds, 1000);  // not scaled
    EXPECT_EQ(RetryInterval::getConfigurationMaxJitterInMilliseconds, 0);
    EXPECT_EQ(RetryInterval::getConfigurationMaxBackoffInMilliseconds, -7);
    EXPECT_EQ(RetryInterval::getConfigurationMaxCollisions, 2);
    EXPECT_EQ(Endpoints::postCheckIn.get(), "http://127.0.0.1:1/in");
    EXPECT_EQ(log.at(0), "INFO Status code: 200");
    EXPECT_TRUE(hasPrefix(log, "INFO Parsed Todo: GetConfigurationDTO(")) << log.at(1);
    EXPECT_TRUE(hasPrefix(log, "INFO Got configuration at ")) << log.at(2);
}

TEST_F(ConfigurationFetch, UndecodableAnswerAppliesNothingAndReportsTheFailure) {
    auto log = logOf([&] {
        auto failure = handle(answer(200, std::nullopt));
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->rfind("Failed to decode JSON: ", 0), 0u);
    });
    EXPECT_TRUE(hasPrefix(log, "INFO Failed to decode JSON: "));
    EXPECT_EQ(log.back(), "ERROR No Reponse JSON to parse.");

    Json missing = configurationJson(1);
    missing["configuration"].erase("pendingActions");
    log = logOf([&] {
        EXPECT_EQ(handle(answer(200, missing.dump())),
                  "Failed to decode JSON: No value associated with key "
                  "\"configuration.pendingActions\"");
    });
    EXPECT_EQ(log.back(), "INFO Raw JSON response:");
    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, kDefaultConfigurationIntervalMs);
    EXPECT_EQ(Endpoints::postCheckIn.get(), std::nullopt);
    EXPECT_EQ(checkIns, 0);
}

TEST_F(ConfigurationFetch, OtherStatusesAndTransportErrorsAreLoggedButNotFailures) {
    auto log = logOf([&] { EXPECT_EQ(handle(answer(500, R"({"error":"x"})")), std::nullopt); });
    EXPECT_EQ(log, (std::vector<std::string>{"INFO Status code: 500", "ERROR Request failed.",
                                             "INFO Raw JSON response:"}));
    platform::DataTaskResult transport;
    transport.error = "Couldn't connect to server";
    log = logOf([&] { EXPECT_EQ(handle(transport), std::nullopt); });
    EXPECT_EQ(log, (std::vector<std::string>{"ERROR Request error: Couldn't connect to server"}));
    EXPECT_EQ(handle(platform::DataTaskResult{}), std::nullopt);
    EXPECT_EQ(checkIns, 0);
}

TEST_F(ConfigurationFetch, ChecksInFirstThenOnlyOnceTheIntervalHasStrictlyPassed) {
    const std::string body = configurationJson(270, 3600).dump();
    handle(answer(200, body));
    EXPECT_EQ(checkIns, 1);
    EXPECT_EQ(_lastCheckedInAt, kNow);

    now = kNow + 3600000;  // equal: not due
    handle(answer(200, body));
    EXPECT_EQ(checkIns, 1);
    now = kNow + 3600001;
    handle(answer(200, body));
    EXPECT_EQ(checkIns, 2);
    EXPECT_EQ(_lastCheckedInAt, kNow + 3600001);

    EXPECT_FALSE(isCheckInDue(INT64_MAX - 1, INT64_MAX, INT64_MAX));  // no wrap into the past
    EXPECT_TRUE(isCheckInDue(-1, INT64_MAX, 0));
}

TEST_F(ConfigurationFetch, FailedCheckInKeepsTheOverridesAndTheLastCheckInTime) {
    checkInThrows = true;
    std::optional<std::string> failure;
    auto log = logOf([&] { failure = handle(answer(200, configurationJson(12).dump())); });
    EXPECT_EQ(failure, "Check in failed");
    EXPECT_EQ(log.back(), "ERROR Check in failed: boom");
    EXPECT_EQ(_lastCheckedInAt, -1);
    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, 12000);
}

TEST_F(ConfigurationFetch, HandsTheWholeNonEmptyListOnInPayloadOrder) {
    handle(answer(200, configurationJson().dump()));
    EXPECT_TRUE(started.empty());
    Json json = configurationJson();
    json["configuration"]["pendingActions"] =
        Json::parse(R"([{"type":"updateAgent","value":"r1","display":"2.0"},{"type":"b"}])");
    handle(answer(200, json.dump()));
    ASSERT_EQ(started.size(), 1u);
    ASSERT_EQ(started[0].size(), 2u);
    EXPECT_EQ(started[0][0].value, "r1");
    EXPECT_EQ(started[0][1].type, "b");
}

TEST_F(ConfigurationFetch, TimeOfDayIsUnpaddedLocalTime) {
    const char* saved = std::getenv("TZ");
    const std::string savedTz = saved ? saved : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(localHourAndMinute(1'765'116'420'000), "14:7");  // 2025-12-07 14:07 UTC
    EXPECT_EQ(localHourAndMinute(1'765'098'300'000), "9:5");
    saved ? ::setenv("TZ", savedTz.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

TEST_F(ConfigurationFetch, SendsTheAuthorizedRequestAndThrowsOnlyForDecodeFailures) {
    qvtest::LoopbackServer server;
    int status = 200;
    std::string body = configurationJson(42).dump();
    server.Get("/computers/configuration", [&](const auto&, auto& res) {
        res.status = status;
        res.body = body;
        res.contentType = "application/json";
    });
    checkInBaseUrl = "http://127.0.0.1:" + std::to_string(server.port());
    authorizationToken.set("Bearer tok-1");

    getConfiguration(hooks);
    EXPECT_EQ(_getConfigurationWorkerIntervalInMilliseconds, 42000);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].header("Accept"), "application/vnd.quorvel.v3+json");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(requests[0].body, "");

    status = 401;
    EXPECT_NO_THROW(getConfiguration(hooks));
    status = 200;
    body = "{}";
    EXPECT_THROW(getConfiguration(hooks), CustomError);

    checkInBaseUrl = "not a url";
    try {
        getConfiguration(hooks);
        ADD_FAILURE() << "no throw";
    } catch (const CustomError& e) {
        EXPECT_EQ(e.message, "Invalid URL");
    }
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(ConfigurationFetch, CheckInPostsBarelyAndReturnsBeforeTheAnswer) {
    qvtest::LoopbackServer server;
    int status = 204;
    server.Post("/in", [&](const auto&, auto& res) {
        std::this_thread::sleep_for(300ms);
        res.status = status;
        if (status != 204) {
            res.body = R"({"detail":"no"})";
            res.contentType = "application/json";
        }
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
    EXPECT_EQ(log,
              (std::vector<std::string>{"INFO Performing check-in", "INFO Making check-in request",
                                        "INFO Status code: 204"}));
    auto request = server.requests().at(0);
    EXPECT_EQ(request.header("Accept"), std::nullopt);
    EXPECT_EQ(request.header("Authorization"), "tok-bare");
    EXPECT_EQ(request.body, "");

    status = 200;
    log = logOf([&] {
        checkIn();
        ASSERT_TRUE(server.waitForRequests(2, 5s));
        std::this_thread::sleep_for(600ms);
    });
    EXPECT_EQ(log.at(2), "INFO Status code: 200");
    EXPECT_EQ(log.at(3), "ERROR Request failed.");
    EXPECT_EQ(log.at(4), "INFO Raw JSON response:");

    for (std::optional<std::string> unusable : {std::optional<std::string>{}, {""}}) {
        Endpoints::postCheckIn.set(unusable);
        log = logOf([] { checkIn(); });
        EXPECT_EQ(log, (std::vector<std::string>{"INFO Performing check-in",
                                                 "ERROR Invalid URL for checkIn"}));
    }
    EXPECT_EQ(server.requestCount(), 2u);
}

}  // namespace
