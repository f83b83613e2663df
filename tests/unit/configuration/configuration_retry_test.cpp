// The configuration retry interval: its collision count and the settings a
// configuration overrides (the backoff arithmetic itself: core/backoff_test.cpp).

#include <gtest/gtest.h>

#include <limits>

#include "daemon/configuration/retry_interval.h"
#include "support/extreme_random.h"

namespace {

using namespace QVAgentLaunchDaemon;
using qvtest::ExtremeRandom;
using Range = std::pair<std::int64_t, std::int64_t>;

TEST(ConfigurationRetry, CountsCollisionsFromOneAfterAResetAndReadsTheSettingsPerCall) {
    RetryInterval::resetGetConfigurationCollisionCount();
    ExtremeRandom high(true);
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), 270000 + 30001);
    EXPECT_EQ(high.ranges, (std::vector<Range>{{0, 1}, {0, 30001}}));
    for (int i = 0; i < 8; ++i)
        RetryInterval::getConfigurationRetryInterval(high);
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, 9);  // past the ceiling
    EXPECT_EQ(high.ranges[high.ranges.size() - 2], (Range{0, 63}));
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), 3600000);

    RetryInterval::getConfigurationMaxCollisions = 0;
    RetryInterval::getConfigurationMaxJitterInMilliseconds = 0;
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), 1);  // slot 0, jitter 0..1

    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    RetryInterval::getConfigurationCollisionCount = kMax;
    RetryInterval::getConfigurationMaxCollisions = 1000;
    RetryInterval::getConfigurationMultiplierInMilliseconds = kMax;
    RetryInterval::getConfigurationMaxBackoffInMilliseconds = kMax;
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), kMax);  // no wrap, no 2^1000
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, kMax);

    RetryInterval::resetGetConfigurationCollisionCount();
    RetryInterval::getConfigurationMaxCollisions = 6;
    RetryInterval::getConfigurationMultiplierInMilliseconds = 270000;
    RetryInterval::getConfigurationMaxJitterInMilliseconds = 30000;
    RetryInterval::getConfigurationMaxBackoffInMilliseconds = 3600000;
}

}  // namespace
