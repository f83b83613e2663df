#include "daemon/core/wake_signal.h"
#include "platform/lifetime.h"

namespace QVAgentLaunchDaemon {

std::uint64_t WakeSignal::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

void WakeSignal::notify() {
    {
        std::lock_guard lock(mutex_);
        ++generation_;
    }
    changed_.notify_all();
}

void WakeSignal::waitUntil(std::chrono::steady_clock::time_point deadline, std::uint64_t seen) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return generation_ != seen; });
}

WakeSignal& workerSettingsChanged() {
    static platform::ProcessLifetime<WakeSignal> signal;  // the detached workers wait on it
    return *signal;
}

}  // namespace QVAgentLaunchDaemon
