// The configuration retry interval: the collision count and the settings a
// configuration can override.

#include <gtest/gtest.h>

#include <limits>

#include "daemon/retry_interval.h"
#include "support/extreme_random.h"

namespace {

using namespace QVAgentLaunchDaemon;
using Range = std::pair<std::int64_t, std::int64_t>;

using qvtest::ExtremeRandom;

class ConfigurationRetry : public ::testing::Test {
  protected:
    void SetUp() override { restoreDefaults(); }
    void TearDown() override { restoreDefaults(); }
    static void restoreDefaults() {
        RetryInterval::resetGetConfigurationCollisionCount();
        RetryInterval::getConfigurationMaxCollisions = 6;
        RetryInterval::getConfigurationMultiplierInMilliseconds = 270000;
        RetryInterval::getConfigurationMaxJitterInMilliseconds = 30000;
        RetryInterval::getConfigurationMaxBackoffInMilliseconds = 3600000;
    }
};

TEST_F(ConfigurationRetry, FirstCallAfterAResetUsesOneCollisionAndTheCountGrowsPastTheCeiling) {
    ExtremeRandom low(false), high(true);
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(low), 0);
    RetryInterval::resetGetConfigurationCollisionCount();
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), 270000 + 30001);
    EXPECT_EQ(high.ranges, (std::vector<Range>{{0, 1}, {0, 30001}}));

    for (int i = 0; i < 8; ++i)
        RetryInterval::getConfigurationRetryInterval(high);
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, 9);
    EXPECT_EQ(high.ranges.back(), (Range{0, 30001}));
    EXPECT_EQ(high.ranges[high.ranges.size() - 2], (Range{0, 63}));  // exponent held at 6
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), 3600000);

    RetryInterval::resetGetConfigurationCollisionCount();
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, 0);
}

TEST_F(ConfigurationRetry, OverriddenSettingsTakeEffectOnTheNextCallWithinSafeLimits) {
    RetryInterval::getConfigurationMaxJitterInMilliseconds = 0;
    RetryInterval::getConfigurationMaxCollisions = 0;
    ExtremeRandom high(true);
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), 1);  // slot 0, jitter 0..1
    EXPECT_EQ(high.ranges, (std::vector<Range>{{0, 0}, {0, 1}}));

    RetryInterval::getConfigurationMaxBackoffInMilliseconds = 0;
    EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(high), 0);

    // A ceiling of 62 or 1000 and a huge slot: no allocation, no wrap.
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    for (std::int64_t ceiling : {62, 1000}) {
        RetryInterval::getConfigurationCollisionCount = 5000;
        RetryInterval::getConfigurationMaxCollisions = ceiling;
        RetryInterval::getConfigurationMultiplierInMilliseconds = kMax;
        RetryInterval::getConfigurationMaxBackoffInMilliseconds = kMax;
        ExtremeRandom top(true);
        EXPECT_EQ(RetryInterval::getConfigurationRetryInterval(top), kMax);
        EXPECT_EQ(top.ranges[0], (Range{0, (std::int64_t{1} << 62) - 1}));
    }
    RetryInterval::getConfigurationCollisionCount = kMax;
    ExtremeRandom low(false);
    RetryInterval::getConfigurationRetryInterval(low);
    EXPECT_EQ(RetryInterval::getConfigurationCollisionCount, kMax);  // saturates
}

}  // namespace
