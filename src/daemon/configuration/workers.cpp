#include "daemon/configuration/workers.h"
#include "daemon/core/task_edge.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "daemon/configuration/configuration.h"
#include "daemon/configuration/retry_interval.h"
#include "daemon/core/app_core.h"
#include "daemon/core/backoff.h"
#include "daemon/core/globals.h"
#include "daemon/core/retries.h"
#include "daemon/core/wake_signal.h"
#include "platform/dispatch.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

// The steps before the one that finds `counter`, advanced by its own tick,
// at or past `target`; every step first adds a tick.
std::int64_t idleTicksBefore(std::int64_t counter, std::int64_t target) {
    const std::int64_t missing = saturatingSubtract(target, counter);
    return missing <= kTickMilliseconds ? 0 : (missing - 1) / kTickMilliseconds;
}

std::int64_t ticksInMilliseconds(std::int64_t ticks) {
    return saturatingMultiply(ticks, kTickMilliseconds);
}

// The monotonic clock, and the settings' wake signal of core/.
class SystemTickTimer final : public TickTimer {
  public:
    std::int64_t nowMilliseconds() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    std::uint64_t settingsGeneration() override { return workerSettingsChanged().generation(); }
    void sleepUntil(std::int64_t deadline, std::uint64_t seen) override {
        // At most a day at a time: the loop recounts after each, and no
        // deadline, however far, overflows the clock's arithmetic.
        const std::int64_t now = nowMilliseconds();
        const std::int64_t until = std::min(deadline, saturatingAdd(now, 24 * 3600 * 1000));
        workerSettingsChanged().waitUntil(
            std::chrono::steady_clock::time_point(std::chrono::milliseconds(until)), seen);
    }
};

[[noreturn]] void runTicks(TickWorker& worker) {
    SystemTickTimer timer;
    for (;;) {
        // A tick that fails in an unforeseen way is logged; the schedule goes on.
        runLoggingUnexpected([&] { worker.step(); });
        sleepToNextStep(worker, timer);
    }
}

}  // namespace

void sleepToNextStep(TickWorker& worker, TickTimer& timer) {
    const std::int64_t origin = timer.nowMilliseconds();
    std::int64_t counted = 0;  // ticks since `origin` already counted
    for (;;) {
        const std::uint64_t seen = timer.settingsGeneration();
        const std::int64_t idle = worker.idleTicks();
        const std::int64_t acting = saturatingAdd(counted, saturatingAdd(idle, 1));
        timer.sleepUntil(saturatingAdd(origin, ticksInMilliseconds(acting)), seen);
        const std::int64_t passed =
            std::clamp((timer.nowMilliseconds() - origin) / kTickMilliseconds, counted, acting);
        if (passed == acting) {
            worker.skip(idle);  // the acting tick itself is the next step's
            return;
        }
        // Woken early: the ticks that passed only counted, under the settings
        // of their time; the rest is planned under the settings of now.
        worker.skip(passed - counted);
        counted = passed;
    }
}

std::int64_t drawJitter(platform::RandomSource& random) {
    return random.uniform(0, std::max<std::int64_t>(_globalMaxJitter.load(), 0));
}

ConfigurationWorker::ConfigurationWorker(std::function<void()> fetch,
                                         platform::RandomSource& random)
    : fetch_(std::move(fetch)),
      random_(random),
      // Far past any interval of 0 or more: the first fetch runs at once.
      elapsed_(saturatingMultiply(_getConfigurationWorkerIntervalInMilliseconds.load(), 1000)) {}

std::int64_t ConfigurationWorker::idleTicks() const {
    if (retrying_)
        return idleTicksBefore(retryElapsed_, retryInterval_);
    return idleTicksBefore(
        elapsed_, saturatingAdd(_getConfigurationWorkerIntervalInMilliseconds.load(), jitter_));
}

void ConfigurationWorker::skip(std::int64_t ticks) {
    std::int64_t& counter = retrying_ ? retryElapsed_ : elapsed_;
    counter = saturatingAdd(counter, ticksInMilliseconds(ticks));
}

bool ConfigurationWorker::tryFetch() {
    try {
        fetch_();
        return true;
    } catch (const std::exception& e) {
        // Only the first failure of a series is logged.
        if (!retrying_)
            Logging::WriteError(std::string("Error on Configuration: ") + e.what());
        return false;
    }
}

void ConfigurationWorker::step() {
    if (retrying_) {
        retryStep();
        return;
    }
    elapsed_ = saturatingAdd(elapsed_, kTickMilliseconds);
    const std::int64_t interval = _getConfigurationWorkerIntervalInMilliseconds.load();
    if (elapsed_ < saturatingAdd(interval, jitter_))
        return;
    if (interval > 30)
        jitter_ = drawJitter(random_);
    if (tryFetch()) {
        elapsed_ = 0;
        return;
    }
    retrying_ = true;
    retryInterval_ = RetryInterval::getConfigurationRetryInterval(random_);
    retryElapsed_ = 0;
    // The retry loop's first count comes before any sleep.
    retryStep();
}

void ConfigurationWorker::retryStep() {
    retryElapsed_ = saturatingAdd(retryElapsed_, kTickMilliseconds);
    if (retryElapsed_ < retryInterval_)
        return;
    if (tryFetch()) {
        RetryInterval::resetGetConfigurationCollisionCount();
        retrying_ = false;
        elapsed_ = 0;
        return;
    }
    retryInterval_ = RetryInterval::getConfigurationRetryInterval(random_);
    retryElapsed_ = 0;
}

StateWorker::StateWorker(std::function<void()> send, platform::RandomSource& random)
    : send_(std::move(send)), random_(random) {}

void StateWorker::begin() {
    send_();
    elapsed_ = 0;
    jitter_ = 0;
}

std::int64_t StateWorker::idleTicks() const {
    return idleTicksBefore(elapsed_,
                           saturatingAdd(_computerStatePingIntervalInMilliseconds.load(), jitter_));
}

void StateWorker::skip(std::int64_t ticks) {
    elapsed_ = saturatingAdd(elapsed_, ticksInMilliseconds(ticks));
}

void StateWorker::step() {
    elapsed_ = saturatingAdd(elapsed_, kTickMilliseconds);
    if (elapsed_ < saturatingAdd(_computerStatePingIntervalInMilliseconds.load(), jitter_))
        return;
    jitter_ = drawJitter(random_);
    send_();
    elapsed_ = 0;
}

void startGetConfigurationWorker() {
    Logging::WriteLine("Get Configuration worker started.");
    detachTask("qv-config", [] {
        // Work that must not be lost (the identifier's write, an update's
        // close) is retried on the fetches' schedule.
        ConfigurationWorker worker(
            [] {
                runScheduledRetries();
                getConfiguration();
            },
            platform::SecureRandom::instance());
        runTicks(worker);
    });
}

void startSendStateWorker() {
    Logging::WriteLine("Starting send computer state worker.");
    detachTask("qv-state", [] {
        StateWorker worker(sendComputerState, platform::SecureRandom::instance());
        runLoggingUnexpected([&] { worker.begin(); });
        runTicks(worker);
    });
}

void sendComputerState() {
    Logging::WriteLine("Sending computer state.");
    try {
        App::Core::ComputerStates::send();
        Logging::WriteLine("Computer state sent successfully.");
    } catch (const std::exception& e) {
        Logging::WriteLine(std::string("Error sending computer state: ") + e.what());
    }
}

}  // namespace QVAgentLaunchDaemon
