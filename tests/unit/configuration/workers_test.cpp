// The periodic workers stepped tick by tick: nothing here sleeps.

#include <gtest/gtest.h>

#include "daemon/configuration/retry_interval.h"
#include "daemon/configuration/workers.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/globals.h"
#include "support/extreme_random.h"

namespace {

using namespace QVAgentLaunchDaemon;

class Workers : public ::testing::Test {
  protected:
    void TearDown() override {
        _getConfigurationWorkerIntervalInMilliseconds = kDefaultConfigurationIntervalMs;
        _globalMaxJitter = kDefaultGlobalMaxJitterMs;
        RetryInterval::resetGetConfigurationCollisionCount();
        RetryInterval::getConfigurationMultiplierInMilliseconds = 270000;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = 30000;
    }
    // With the high random every retry interval is exactly `ms`.
    static void retryEvery(std::int64_t ms) {
        RetryInterval::getConfigurationMultiplierInMilliseconds = 0;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = ms - 1;
    }
    // Steps (one tick before each) until the worker's action runs again;
    // returns the ticks slept before it.
    template <typename Worker>
    int ticksToNextCall(Worker& worker) {
        const int before = calls;
        for (int ticks = 1; ticks <= 2000; ++ticks) {
            worker.step();
            if (calls != before)
                return ticks;
        }
        return -1;
    }

    qvtest::ExtremeRandom random{true};
    int calls = 0;
    int failuresLeft = 0;
    ConfigurationWorker fetcher{[this] {
                                    ++calls;
                                    if (failuresLeft-- > 0)
                                        throw CustomError("Failed to decode JSON: x");
                                },
                                random};
};

TEST_F(Workers, ConfigurationWorkerFetchesAtOnceThenAfterIntervalPlusJitter) {
    _globalMaxJitter = 1500;
    fetcher.step();  // before the first tick
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ticksToNextCall(fetcher), 272);  // ceil((270000 + 1500) / 1000)
    for (int i = 0; i < 5; ++i)
        fetcher.step();
    _getConfigurationWorkerIntervalInMilliseconds = 10000;  // counted from the last fetch
    EXPECT_EQ(ticksToNextCall(fetcher), 7);

    // 30 ms or less draws no new jitter: the kept 1500 ms gives two ticks.
    _getConfigurationWorkerIntervalInMilliseconds = 0;
    const auto draws = random.ranges.size();
    EXPECT_EQ(ticksToNextCall(fetcher), 2);
    _getConfigurationWorkerIntervalInMilliseconds = 30;
    EXPECT_EQ(ticksToNextCall(fetcher), 2);
    EXPECT_EQ(random.ranges.size(), draws);
}

TEST_F(Workers, FailedFetchRetriesOnTheBackoffAndLogsOnlyTheFirstFailure) {
    _globalMaxJitter = 0;
    ::testing::internal::CaptureStdout();
    retryEvery(1000);
    failuresLeft = 1;
    fetcher.step();  // fails, and the first retry runs at once
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ticksToNextCall(fetcher), 270);  // regular counting from the retry

    retryEvery(5000);
    failuresLeft = 3;
    EXPECT_EQ(ticksToNextCall(fetcher), 270);  // fails
    retryEvery(3500);                          // drawn at the next failure
    EXPECT_EQ(ticksToNextCall(fetcher), 4);    // the 5000 ms retry, fails
    EXPECT_TRUE(fetcher.inRetryLoop());
    EXPECT_EQ(ticksToNextCall(fetcher), 4);  // ceil(3500 / 1000), fails
    EXPECT_EQ(ticksToNextCall(fetcher), 4);  // succeeds
    EXPECT_FALSE(fetcher.inRetryLoop());
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, 0);

    const std::string log = ::testing::internal::GetCapturedStdout();
    std::size_t errors = 0;
    for (auto at = log.find("ERROR Error on Configuration: Failed to decode JSON: x");
         at != std::string::npos; at = log.find("ERROR Error on Configuration", at + 1))
        ++errors;
    EXPECT_EQ(errors, 2u) << log;  // one per series
}

TEST_F(Workers, StateWorkerReportsAtStartAfter569TicksThenIntervalPlusJitter) {
    StateWorker worker([this] { ++calls; }, random);
    worker.begin();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ticksToNextCall(worker) - 1, 569);  // the first step comes before any tick
    EXPECT_EQ(ticksToNextCall(worker), 600);      // (570000 + 30000) / 1000
    _globalMaxJitter = -5;                        // a negative bound draws 0, never stops
    EXPECT_EQ(ticksToNextCall(worker), 600);
    EXPECT_EQ(ticksToNextCall(worker), 570);
}

}  // namespace
