#include "platform/threads.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "platform/failure_reporter.h"
#include "platform/lifetime.h"
#include "platform/thread_name.h"

namespace platform {
namespace {

struct ThreadCounter {
    std::mutex mutex;
    std::condition_variable idle;
    std::size_t detached = 0;
    std::size_t joined = 0;

    std::size_t& of(ThreadEnd end) { return end == ThreadEnd::detached ? detached : joined; }
};

ThreadCounter& threadCounter() {
    // Detached threads still end (and count down) after main() returns.
    static ProcessLifetime<ThreadCounter> counter;
    return *counter;
}

}  // namespace

std::thread startThread(std::string name, std::function<void()> body, ThreadEnd end) {
    auto& counter = threadCounter();
    {
        std::lock_guard lock(counter.mutex);
        ++counter.of(end);
    }
    std::thread thread([name = std::move(name), body = std::move(body), end] {
        nameCurrentThread(name);
        try {
            body();
        } catch (...) {
            reportCurrentException("thread " + (name.empty() ? std::string("unnamed") : name));
        }
        auto& c = threadCounter();
        std::lock_guard lock(c.mutex);
        if (--c.of(end) == 0 && end == ThreadEnd::detached)
            c.idle.notify_all();
    });
    if (end == ThreadEnd::detached)
        thread.detach();
    return thread;
}

void Tasks::detach(std::function<void()> body, std::string threadName) {
    std::string where = "task " + (threadName.empty() ? std::string("unnamed") : threadName);
    startThread(
        std::move(threadName),
        [body = std::move(body), where = std::move(where)] {
            try {
                body();
            } catch (...) {
                // A task's own code reports its failures; what escapes it is
                // still reported.
                reportCurrentException(where);
            }
        },
        ThreadEnd::detached);
}

bool Tasks::waitIdle(std::chrono::milliseconds timeout) {
    auto& counter = threadCounter();
    std::unique_lock lock(counter.mutex);
    return counter.idle.wait_for(lock, timeout, [&] { return counter.detached == 0; });
}

std::size_t Tasks::running() {
    auto& counter = threadCounter();
    std::lock_guard lock(counter.mutex);
    return counter.detached;
}

std::size_t Tasks::threads() {
    auto& counter = threadCounter();
    std::lock_guard lock(counter.mutex);
    return counter.detached + counter.joined;
}

}  // namespace platform
