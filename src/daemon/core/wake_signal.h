#pragma once
// A wake-up call for threads that plan a long sleep from shared settings. The
// writer stores the settings, then notifies; a sleeper takes generation()
// before it reads the settings, and its wait ends early once the generation
// moved on, so a change stored after its read always cuts the sleep short.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace QVAgentLaunchDaemon {

class WakeSignal {
  public:
    std::uint64_t generation() const;
    void notify();
    // Returns at `deadline` on the monotonic clock, or earlier once the
    // generation differs from `seen`.
    void waitUntil(std::chrono::steady_clock::time_point deadline, std::uint64_t seen);

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t generation_ = 0;
};

// Notified after a configuration stored the workers' intervals and jitter bound.
WakeSignal& workerSettingsChanged();

}  // namespace QVAgentLaunchDaemon
