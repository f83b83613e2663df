#include "daemon/configuration/workers.h"
#include "daemon/core/unexpected.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "daemon/configuration/configuration.h"
#include "daemon/configuration/retry_interval.h"
#include "daemon/core/app_core.h"
#include "daemon/core/backoff.h"
#include "daemon/core/globals.h"
#include "platform/dispatch.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

// Each tick is a sleep of one second toward a monotonic deadline; counters
// advance by a tick whatever the work of the tick took.
template <typename Worker>
[[noreturn]] void runTicks(Worker& worker) {
    auto& sleeper = platform::SystemSleeper::instance();
    for (;;) {
        // A tick that fails in an unforeseen way is logged; the schedule goes on.
        runLoggingUnexpected([&] { worker.step(); });
        sleeper.sleepFor(std::chrono::milliseconds(kTickMilliseconds));
    }
}

}  // namespace

std::int64_t drawJitter(platform::RandomSource& random) {
    return random.uniform(0, std::max<std::int64_t>(_globalMaxJitter.load(), 0));
}

ConfigurationWorker::ConfigurationWorker(std::function<void()> fetch,
                                         platform::RandomSource& random)
    : fetch_(std::move(fetch)),
      random_(random),
      // Far past any interval of 0 or more: the first fetch runs at once.
      elapsed_(saturatingMultiply(_getConfigurationWorkerIntervalInMilliseconds.load(), 1000)) {}

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
        ConfigurationWorker worker([] { getConfiguration(); }, platform::SecureRandom::instance());
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
