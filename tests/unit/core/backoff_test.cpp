// The truncated binary exponential backoff shared by the retries.

#include <gtest/gtest.h>

#include <deque>
#include <limits>

#include "daemon/core/backoff.h"
#include "daemon/main_task.h"
#include "support/extreme_random.h"

namespace {

using namespace QVAgentLaunchDaemon;

using qvtest::ExtremeRandom;

TEST(Backoff, SlotRangeDoublesUpToTheCeiling) {
    const BackoffSettings settings{270000, 30000, 3600000, 6};
    for (std::int64_t collisions : {1, 2, 6, 7, 1000}) {
        ExtremeRandom random(true);
        backoffInterval(settings, collisions, random);
        ASSERT_EQ(random.ranges.size(), 2u);
        const std::int64_t k = std::min<std::int64_t>(collisions, 6);
        EXPECT_EQ(random.ranges[0], std::make_pair(std::int64_t{0}, (std::int64_t{1} << k) - 1));
        EXPECT_EQ(random.ranges[1], std::make_pair(std::int64_t{0}, std::int64_t{30001}));
    }
}

TEST(Backoff, ScalesJittersAndCaps) {
    const BackoffSettings settings{270000, 30000, 3600000, 6};
    ExtremeRandom low(false);
    EXPECT_EQ(backoffInterval(settings, 1, low), 0);
    ExtremeRandom high(true);
    EXPECT_EQ(backoffInterval(settings, 1, high), 270000 + 30001);
    ExtremeRandom highMany(true);
    EXPECT_EQ(backoffInterval(settings, 6, highMany), 3600000);  // 63 slots would pass the cap
}

TEST(Backoff, OutOfRangeSettingsNeitherCrashNorWrap) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    ExtremeRandom high(true);
    // A ceiling of 1000 is clamped to 62: no 2^1000, no allocation of 2^62.
    EXPECT_EQ(backoffInterval({kMax, kMax, kMax, 1000}, 1000, high), kMax);
    EXPECT_EQ(high.ranges[0].second, (std::int64_t{1} << 62) - 1);

    ExtremeRandom negative(true);
    EXPECT_EQ(backoffInterval({270000, -5, kMax, -3}, 4, negative), 1);  // slot 0, jitter 0..1
    EXPECT_EQ(negative.ranges[0], std::make_pair(std::int64_t{0}, std::int64_t{0}));

    ExtremeRandom product(true);
    // The product saturates at the minimum; the jitter of 1 is then added.
    EXPECT_EQ(backoffInterval({-kMax, 0, kMax, 62}, 62, product),
              std::numeric_limits<std::int64_t>::min() + 1);
    EXPECT_EQ(saturatingAdd(kMax, 1), kMax);
    EXPECT_EQ(saturatingMultiply(kMax, -2), std::numeric_limits<std::int64_t>::min());
}

TEST(Backoff, EnrollmentRetryWaitsSecondsNotMinutes) {
    ExtremeRandom low(false);
    EXPECT_EQ(enrollmentRetryInterval(1, low), 0);
    ExtremeRandom high(true);
    EXPECT_EQ(enrollmentRetryInterval(1, high), 5000 + 5001);
    ExtremeRandom late(true);
    EXPECT_EQ(enrollmentRetryInterval(50, late), 300000);  // 63 slots of 5 s, capped at 5 min
}

TEST(SecureRandom, StaysInsideTheClosedRange) {
    auto& random = platform::SecureRandom::instance();
    bool sawLow = false, sawHigh = false;
    for (int i = 0; i < 2000; ++i) {
        auto v = random.uniform(-1, 1);
        ASSERT_GE(v, -1);
        ASSERT_LE(v, 1);
        sawLow |= v == -1;
        sawHigh |= v == 1;
    }
    EXPECT_TRUE(sawLow && sawHigh);
    EXPECT_EQ(random.uniform(7, 7), 7);
    auto full = random.uniform(std::numeric_limits<std::int64_t>::min(),
                               std::numeric_limits<std::int64_t>::max());
    (void)full;  // the full range must not loop or divide by zero
}

}  // namespace
