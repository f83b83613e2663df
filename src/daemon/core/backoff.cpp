#include "daemon/core/backoff.h"

#include <algorithm>
#include <limits>

namespace QVAgentLaunchDaemon {

std::int64_t saturatingMultiply(std::int64_t a, std::int64_t b) {
    std::int64_t product = 0;
    if (!__builtin_mul_overflow(a, b, &product))
        return product;
    return ((a < 0) != (b < 0)) ? std::numeric_limits<std::int64_t>::min()
                                : std::numeric_limits<std::int64_t>::max();
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum))
        return sum;
    return b < 0 ? std::numeric_limits<std::int64_t>::min()
                 : std::numeric_limits<std::int64_t>::max();
}

std::int64_t saturatingSubtract(std::int64_t a, std::int64_t b) {
    std::int64_t difference = 0;
    if (!__builtin_sub_overflow(a, b, &difference))
        return difference;
    return b > 0 ? std::numeric_limits<std::int64_t>::min()
                 : std::numeric_limits<std::int64_t>::max();
}

std::int64_t backoffInterval(const BackoffSettings& settings, std::int64_t collisions,
                             platform::RandomSource& random) {
    const std::int64_t k =
        std::clamp<std::int64_t>(std::min(settings.maxCollisions, collisions), 0, 62);
    const std::int64_t slot = random.uniform(0, (std::int64_t{1} << k) - 1);
    const std::int64_t jitterBound =
        saturatingAdd(std::max<std::int64_t>(settings.maxJitterMilliseconds, 0), 1);
    const std::int64_t jitter = random.uniform(0, jitterBound);
    const std::int64_t interval =
        saturatingAdd(saturatingMultiply(slot, settings.slotMilliseconds), jitter);
    return std::min(settings.maxBackoffMilliseconds, interval);
}

}  // namespace QVAgentLaunchDaemon
