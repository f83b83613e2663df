// The periodic workers stepped tick by tick: nothing here sleeps.

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "daemon/custom_error.h"
#include "daemon/globals.h"
#include "daemon/retry_interval.h"
#include "daemon/workers.h"
#include "support/extreme_random.h"

namespace {

using namespace QVAgentLaunchDaemon;

class Workers : public ::testing::Test {
  protected:
    void SetUp() override { restore(); }
    void TearDown() override { restore(); }
    static void restore() {
        _getConfigurationWorkerIntervalInMilliseconds = kDefaultConfigurationIntervalMs;
        _computerStatePingIntervalInMilliseconds = kDefaultStatePingIntervalMs;
        _globalMaxJitter = kDefaultGlobalMaxJitterMs;
        RetryInterval::resetGetConfigurationCollisionCount();
        RetryInterval::getConfigurationMaxCollisions = 6;
        RetryInterval::getConfigurationMultiplierInMilliseconds = 270000;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = 30000;
        RetryInterval::getConfigurationMaxBackoffInMilliseconds = 3600000;
    }
    // Every retry interval is exactly `ms` with the high random: slot length 0,
    // jitter up to ms - 1 + 1.
    static void retryEvery(std::int64_t ms) {
        RetryInterval::getConfigurationMultiplierInMilliseconds = 0;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = ms - 1;
    }

    // Steps (one tick before each) until the next call of the worker's
    // action; returns the ticks slept before it.
    template <typename Worker>
    int ticksToNextCall(Worker& worker, int limit = 2000) {
        const int before = calls;
        for (int ticks = 1; ticks <= limit; ++ticks) {
            worker.step();
            if (calls != before)
                return ticks;
        }
        return -1;
    }

    qvtest::ExtremeRandom random{true};
    int calls = 0;
    int failuresLeft = 0;
    ConfigurationWorker configurationWorker{[this] {
                                                ++calls;
                                                if (failuresLeft > 0) {
                                                    --failuresLeft;
                                                    throw CustomError("Failed to decode JSON: x");
                                                }
                                            },
                                            random};
};

TEST_F(Workers, ConfigurationWorkerFetchesAtOnceThenAfterIntervalPlusJitter) {
    _globalMaxJitter = 1500;
    configurationWorker.step();  // before the first tick
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ticksToNextCall(configurationWorker), 272);  // ceil((270000 + 1500) / 1000)

    // A shorter interval counts from the last fetch, on the next tick.
    for (int i = 0; i < 5; ++i)
        configurationWorker.step();
    _getConfigurationWorkerIntervalInMilliseconds = 10000;
    EXPECT_EQ(ticksToNextCall(configurationWorker), 7);  // 12 ticks after the fetch
}

TEST_F(Workers, ConfigurationIntervalOfZeroKeepsTheLastJitter) {
    _globalMaxJitter = 2500;
    configurationWorker.step();
    EXPECT_EQ(random.ranges.size(), 1u);
    _getConfigurationWorkerIntervalInMilliseconds = 0;
    EXPECT_EQ(ticksToNextCall(configurationWorker), 3);
    EXPECT_EQ(ticksToNextCall(configurationWorker), 3);
    EXPECT_EQ(random.ranges.size(), 1u);
    _getConfigurationWorkerIntervalInMilliseconds = 30;  // 30 or less draws none either
    EXPECT_EQ(ticksToNextCall(configurationWorker), 3);
    EXPECT_EQ(random.ranges.size(), 1u);
}

TEST_F(Workers, FailedFetchRetriesOnTheBackoffAndLogsOnlyTheFirstFailure) {
    _globalMaxJitter = 0;
    ::testing::internal::CaptureStdout();
    retryEvery(1000);
    failuresLeft = 1;
    configurationWorker.step();  // fails, and the first retry runs at once
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(configurationWorker.inRetryLoop());
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, 0);

    // Back to regular counting from the successful retry.
    EXPECT_EQ(ticksToNextCall(configurationWorker), 270);

    retryEvery(5000);
    failuresLeft = 3;
    EXPECT_EQ(ticksToNextCall(configurationWorker), 270);  // fails
    EXPECT_TRUE(configurationWorker.inRetryLoop());
    retryEvery(3500);                                    // drawn at the next failure
    EXPECT_EQ(ticksToNextCall(configurationWorker), 4);  // first retry (5000), fails
    EXPECT_EQ(ticksToNextCall(configurationWorker), 4);  // ceil(3500 / 1000), fails
    EXPECT_EQ(ticksToNextCall(configurationWorker), 4);  // succeeds
    EXPECT_FALSE(configurationWorker.inRetryLoop());
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, 0);

    const std::string captured = ::testing::internal::GetCapturedStdout();
    if (HasFailure())
        std::cerr << captured;  // the failures above were captured with the log
    std::istringstream log(captured);
    int errors = 0;
    for (std::string line; std::getline(log, line);)
        errors += line.find(" ERROR Error on Configuration: Failed to decode JSON: x") !=
                  std::string::npos;
    EXPECT_EQ(errors, 2);  // one per series
}

TEST_F(Workers, StateWorkerReportsAtStartAfter569TicksThenIntervalPlusJitter) {
    StateWorker worker([this] { ++calls; }, random);
    worker.begin();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(random.ranges.size(), 0u);
    EXPECT_EQ(ticksToNextCall(worker) - 1, 569);  // the first step comes before any tick
    EXPECT_EQ(ticksToNextCall(worker), 600);      // (570000 + 30000) / 1000
    _globalMaxJitter = -5;                        // a negative bound draws 0, never stops
    EXPECT_EQ(ticksToNextCall(worker), 600);
    EXPECT_EQ(ticksToNextCall(worker), 570);
}

}  // namespace
