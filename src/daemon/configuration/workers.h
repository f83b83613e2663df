#pragma once
// The two periodic workers: configuration fetch and computer-state report.
// Each ticks once a second and counts milliseconds, so interval changes a
// configuration makes take effect on the next tick. The per-tick logic lives
// in the worker classes, which tests step without sleeping.

#include <cstdint>
#include <functional>

#include "platform/time.h"

namespace QVAgentLaunchDaemon {

// Logs "Get Configuration worker started." and starts the worker as a
// detached task; returns at once.
void startGetConfigurationWorker();
// Logs "Starting send computer state worker." and starts the worker likewise.
void startSendStateWorker();

// One state report through the framework; failures are logged, never thrown.
void sendComputerState();

inline constexpr std::int64_t kTickMilliseconds = 1000;

class ConfigurationWorker {
  public:
    // `fetch` is one configuration fetch; it throws when the fetch failed.
    ConfigurationWorker(std::function<void()> fetch, platform::RandomSource& random);

    // The work of one tick, up to the next one-second sleep: counting toward
    // the next regular fetch, fetching, or counting toward the next retry.
    void step();
    bool inRetryLoop() const { return retrying_; }

  private:
    bool tryFetch();
    void retryStep();

    std::function<void()> fetch_;
    platform::RandomSource& random_;
    std::int64_t elapsed_;
    std::int64_t jitter_ = 0;
    bool retrying_ = false;
    std::int64_t retryElapsed_ = 0;
    std::int64_t retryInterval_ = 0;
};

class StateWorker {
  public:
    StateWorker(std::function<void()> send, platform::RandomSource& random);

    // The report at start; the first wait after it has no jitter.
    void begin();
    void step();

  private:
    std::function<void()> send_;
    platform::RandomSource& random_;
    std::int64_t elapsed_ = 0;
    std::int64_t jitter_ = 0;
};

// A jitter from 0 to `_globalMaxJitter`, both included; a negative bound
// (after a negative override) gives 0.
std::int64_t drawJitter(platform::RandomSource& random);

}  // namespace QVAgentLaunchDaemon
