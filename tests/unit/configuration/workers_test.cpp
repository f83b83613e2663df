// The workers' loops on a fake timer, nothing sleeps; each action takes 300 ms.

#include <gtest/gtest.h>

#include "daemon/configuration/retry_interval.h"
#include "daemon/configuration/workers.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/globals.h"
#include "support/checks.h"
#include "support/extreme_random.h"
#include "support/log_capture.h"

namespace {

using namespace QVAgentLaunchDaemon;

// The fixture is the loops' timer: it sleeps by moving its clock; at `changeAt`
// a configuration sets the interval to 10 s and wakes the sleeper.
class Workers : public ::testing::Test, public TickTimer {
  protected:
    void TearDown() override {
        initializeGlobals();  // the intervals and the jitter bound
        RetryInterval::resetGetConfigurationCollisionCount();
        RetryInterval::getConfigurationMultiplierInMilliseconds = 270000;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = 30000;
    }
    std::int64_t nowMilliseconds() override { return now; }
    std::uint64_t settingsGeneration() override { return changes; }
    void sleepUntil(std::int64_t deadline, std::uint64_t seen) override {
        if (changeAt >= 0 && changeAt < deadline) {
            _getConfigurationWorkerIntervalInMilliseconds = 10000;
            now = std::exchange(changeAt, -1);
            ++changes;
        }
        now = changes == seen ? deadline : now;
    }
    // With the high random every retry interval is exactly `ms`.
    static void retryEvery(std::int64_t ms) {
        RetryInterval::getConfigurationMultiplierInMilliseconds = 0;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = ms - 1;
    }
    void call() {
        ticks = (now - std::exchange(lastCall, now)) / kTickMilliseconds;
        ++calls, now += 300;
        if (failuresLeft-- > 0)
            throw CustomError("Failed to decode JSON: x");
    }
    // Runs the loop on until the action runs again; the ticks in between.
    std::int64_t ticksToNextCall(TickWorker& worker) {
        const auto before = calls;
        for (int round = 0; calls == before && round < 9; ++round, worker.step())
            sleepToNextStep(worker, *this);
        return ticks;
    }
    qvtest::ExtremeRandom random{true};
    std::int64_t now = 0, changeAt = -1, calls = 0, failuresLeft = 0, lastCall = 0, ticks = 0;
    std::uint64_t changes = 0;
    ConfigurationWorker fetcher{[this] { call(); }, random};
};

TEST_F(Workers, ConfigurationWorkerFetchesAtOnceThenAfterIntervalPlusJitter) {
    _globalMaxJitter = 1500;
    fetcher.step();                            // at once, before the first tick
    EXPECT_EQ(ticksToNextCall(fetcher), 272);  // ceil((270000 + 1500) / 1000)
    changeAt = lastCall + 12200;               // 10 s, counted from the last fetch, at tick 12
    EXPECT_EQ(ticksToNextCall(fetcher), 12);

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
    const std::string log = qvtest::stdoutOf([&] {
        retryEvery(1000);
        failuresLeft = 1;
        fetcher.step();                            // fails, and the first retry runs at once
        EXPECT_EQ(ticksToNextCall(fetcher), 270);  // regular counting from the retry

        retryEvery(5000);
        failuresLeft = 3;
        EXPECT_EQ(ticksToNextCall(fetcher), 270);  // fails
        retryEvery(3500);                          // drawn at the next failure
        EXPECT_EQ(ticksToNextCall(fetcher), 4);    // the 5000 ms retry, fails
        EXPECT_EQ(ticksToNextCall(fetcher), 4);    // ceil(3500 / 1000), fails
        EXPECT_EQ(ticksToNextCall(fetcher), 4);    // succeeds
        EXPECT_FALSE(fetcher.inRetryLoop());
        EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, 0);
    });
    EXPECT_EQ(qvtest::countOf(log, "ERROR Error on Configuration: Failed to decode JSON: x"), 2)
        << log;  // one per series
}

TEST_F(Workers, StateWorkerReportsAtStartAfter569TicksThenIntervalPlusJitter) {
    StateWorker worker([this] { call(); }, random);
    worker.begin();
    worker.step();  // the first step comes before any tick
    EXPECT_EQ(ticksToNextCall(worker), 569);
    EXPECT_EQ(ticksToNextCall(worker), 600);  // (570000 + 30000) / 1000
    _globalMaxJitter = -5;                    // a negative bound draws 0, never stops
    EXPECT_EQ(ticksToNextCall(worker), 600);
    EXPECT_EQ(ticksToNextCall(worker), 570);
}

}  // namespace
