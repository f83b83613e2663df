#include "daemon/configuration/retry_interval.h"

#include "daemon/core/backoff.h"

namespace QVAgentLaunchDaemon {

std::int64_t RetryInterval::getConfigurationRetryInterval(platform::RandomSource& random) {
    // The count saturates rather than wrapping back to a short wait.
    std::int64_t count = getConfigurationCollisionCount.load();
    std::int64_t next = saturatingAdd(count, 1);
    while (!getConfigurationCollisionCount.compare_exchange_weak(count, next))
        next = saturatingAdd(count, 1);
    const BackoffSettings settings{getConfigurationMultiplierInMilliseconds.load(),
                                   getConfigurationMaxJitterInMilliseconds.load(),
                                   getConfigurationMaxBackoffInMilliseconds.load(),
                                   getConfigurationMaxCollisions.load()};
    return backoffInterval(settings, next, random);
}

void RetryInterval::resetGetConfigurationCollisionCount() {
    getConfigurationCollisionCount = 0;
}

}  // namespace QVAgentLaunchDaemon
