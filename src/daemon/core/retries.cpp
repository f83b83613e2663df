#include "daemon/core/retries.h"

#include <list>
#include <mutex>
#include <utility>

#include "daemon/core/task_edge.h"
#include "platform/lifetime.h"

namespace QVAgentLaunchDaemon {
namespace {

struct Retries {
    std::mutex mutex;
    std::list<std::function<bool()>> attempts;
};

Retries& retries() {
    static platform::ProcessLifetime<Retries> kept;  // the detached workers use it to the end
    return *kept;
}

}  // namespace

void retryOnConfigurationSchedule(std::function<bool()> attempt) {
    std::lock_guard lock(retries().mutex);
    retries().attempts.push_back(std::move(attempt));
}

void runScheduledRetries() {
    // Taken out while they run, so an attempt may add another without deadlock.
    std::list<std::function<bool()>> due;
    {
        std::lock_guard lock(retries().mutex);
        due.swap(retries().attempts);
    }
    for (auto it = due.begin(); it != due.end();) {
        bool done = false;
        runLoggingUnexpected([&] { done = (*it)(); });
        it = done ? due.erase(it) : std::next(it);
    }
    std::lock_guard lock(retries().mutex);
    retries().attempts.splice(retries().attempts.begin(), due);
}

}  // namespace QVAgentLaunchDaemon
