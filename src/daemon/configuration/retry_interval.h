#pragma once
// How long the configuration worker waits before it retries a failed
// configuration fetch: each consecutive failure is a collision on the shared
// truncated binary exponential backoff. The four settings are replaced whole
// by every decoded configuration; the collision count belongs to the worker.

#include <atomic>
#include <cstdint>

#include "platform/time.h"

namespace QVAgentLaunchDaemon {

struct RetryInterval {
    static inline std::atomic<std::int64_t> getConfigurationCollisionCount{0};
    static inline std::atomic<std::int64_t> getConfigurationMaxCollisions{6};
    static inline std::atomic<std::int64_t> getConfigurationMultiplierInMilliseconds{270000};
    static inline std::atomic<std::int64_t> getConfigurationMaxJitterInMilliseconds{30000};
    static inline std::atomic<std::int64_t> getConfigurationMaxBackoffInMilliseconds{3600000};

    // Counts one more collision and returns the wait in milliseconds:
    // min(cap, slot * multiplier + jitter), the slot drawn from 0..2^k-1 with k
    // the smaller of count and ceiling (kept within 0..62), the jitter from 0
    // to MaxJitter + 1. Settings outside their sensible range (a negative
    // ceiling or jitter bound, a ceiling above 62, a product that does not fit)
    // are clamped or saturated, never wrapped.
    static std::int64_t getConfigurationRetryInterval(
        platform::RandomSource& random = platform::SecureRandom::instance());
    static void resetGetConfigurationCollisionCount();
};

}  // namespace QVAgentLaunchDaemon
