#pragma once
// The two periodic workers: configuration fetch and computer-state report.
// Each counts milliseconds on a grid of one-second ticks, so interval changes
// a configuration makes take effect on the next tick. The per-tick logic lives
// in the worker classes; the run loop sleeps across the ticks that would only
// count, waking early when a configuration changes the settings. Tests step
// the workers and drive the loop on a fake timer, without sleeping.

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

// What the run loop asks of a worker.
class TickWorker {
  public:
    virtual ~TickWorker() = default;
    // The work of one tick: counting, and acting when due.
    virtual void step() = 0;
    // Under the settings in force now: how many steps would only count
    // before the one that acts.
    virtual std::int64_t idleTicks() const = 0;
    // Counts `ticks` ticks at once, exactly as that many steps that only
    // count would (at most idleTicks()).
    virtual void skip(std::int64_t ticks) = 0;
};

// The run loop's time: a monotonic clock in milliseconds and a sleep that a
// change of the workers' settings cuts short.
class TickTimer {
  public:
    virtual ~TickTimer() = default;
    virtual std::int64_t nowMilliseconds() = 0;
    // Taken before the settings are read for planning a sleep.
    virtual std::uint64_t settingsGeneration() = 0;
    // Until nowMilliseconds() reaches `deadline`; earlier when the settings
    // changed after settingsGeneration() gave `seen` (and possibly earlier
    // for no reason: the caller recounts).
    virtual void sleepUntil(std::int64_t deadline, std::uint64_t seen) = 0;
};

// The sleep after a worker's step (its loop: step, sleep, step, ...): up to
// the tick on which its next step acts. Ticks are one second apart from now,
// the end of the step's work, as one-second sleeps after it would be; the
// worker's counters advance by a tick for each tick slept. When the settings
// change during the sleep, the ticks that passed are counted and the rest
// planned anew, so a new interval acts from the next tick on.
void sleepToNextStep(TickWorker& worker, TickTimer& timer);

class ConfigurationWorker final : public TickWorker {
  public:
    // `fetch` is one configuration fetch; it throws when the fetch failed.
    ConfigurationWorker(std::function<void()> fetch, platform::RandomSource& random);

    // Counting toward the next regular fetch, fetching, or counting toward
    // the next retry.
    void step() override;
    std::int64_t idleTicks() const override;
    void skip(std::int64_t ticks) override;
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

class StateWorker final : public TickWorker {
  public:
    StateWorker(std::function<void()> send, platform::RandomSource& random);

    // The report at start; the first wait after it has no jitter.
    void begin();
    void step() override;
    std::int64_t idleTicks() const override;
    void skip(std::int64_t ticks) override;

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
