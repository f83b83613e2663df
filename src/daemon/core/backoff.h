#pragma once
// Truncated binary exponential backoff, as in network collision handling:
// after the n-th consecutive failure one of 2^min(n, ceiling) slots is drawn,
// scaled by the slot length, jittered and capped. Shared by the configuration
// retry and the enrollment retry.

#include <cstdint>

#include "platform/time.h"

namespace QVAgentLaunchDaemon {

struct BackoffSettings {
    std::int64_t slotMilliseconds;        // length of one slot
    std::int64_t maxJitterMilliseconds;   // jitter drawn from 0 to this + 1, both included
    std::int64_t maxBackoffMilliseconds;  // cap of the result
    std::int64_t maxCollisions;           // ceiling of the exponent
};

// The wait after `collisions` consecutive failures. The slot is drawn directly
// from 0..2^k-1 with k = min(collisions, ceiling) clamped to 0..62 (nothing of
// size 2^k is ever allocated), a negative jitter bound counts as 0, and the
// product and sum saturate instead of wrapping. The result is
// min(cap, slot * slotLength + jitter).
std::int64_t backoffInterval(const BackoffSettings& settings, std::int64_t collisions,
                             platform::RandomSource& random);

// a * b, a + b and a - b clamped to the signed 64-bit range.
std::int64_t saturatingMultiply(std::int64_t a, std::int64_t b);
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);
std::int64_t saturatingSubtract(std::int64_t a, std::int64_t b);

}  // namespace QVAgentLaunchDaemon
