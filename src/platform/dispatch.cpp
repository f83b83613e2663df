#include "platform/dispatch.h"

#include <cstdlib>
#include <exception>
#include <utility>

#include "platform/failure_reporter.h"
#include "platform/thread_name.h"

namespace platform {

SerialQueue::SerialQueue(std::string label, std::string threadName)
    : label_(std::move(label)),
      threadName_(std::move(threadName)),
      where_("a work item of queue " + label_) {
    thread_ = std::thread([this] {
        nameCurrentThread(threadName_);
        run();
    });
}

SerialQueue::~SerialQueue() {
    if (isCurrent()) {
        // Its thread would have to join itself, and the work item running now
        // would go on inside a destroyed object: a fault of the owner, loud at once.
        reportFailure("SerialQueue " + label_ + " (thread " + threadName_ +
                      ") destroyed on its own thread; aborting");
        std::abort();
    }
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void SerialQueue::async(std::function<void()> work) {
    {
        MutexLock lock(mutex_);
        ready_.push_back(std::move(work));
    }
    wake_.notify_all();
}

void SerialQueue::asyncAfter(std::chrono::milliseconds delay, std::function<void()> work) {
    {
        MutexLock lock(mutex_);
        delayed_.emplace(std::chrono::steady_clock::now() + delay, std::move(work));
    }
    wake_.notify_all();
}

void SerialQueue::sync(const std::function<void()>& work) {
    DispatchGroup group;
    std::exception_ptr failure;
    group.enter();
    async([&] {
        DispatchGroup::ScopedLeave leave(group);
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    group.wait();
    if (failure)
        std::rethrow_exception(failure);
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == thread_.get_id();
}

void SerialQueue::run() {
    MutexLock lock(mutex_);
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            ready_.push_back(std::move(delayed_.begin()->second));
            delayed_.erase(delayed_.begin());
        }
        if (!ready_.empty()) {
            auto work = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            try {
                work();
            } catch (...) {
                // Work items report their own failures; what escapes one is
                // still reported, and the queue goes on with the next.
                reportCurrentException(where_);
            }
            lock.lock();
            continue;
        }
        if (stopping_)
            return;
        if (delayed_.empty()) {
            lock.wait(wake_);
        } else {
            lock.waitUntil(wake_, delayed_.begin()->first);
        }
    }
}

void DispatchGroup::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::lock_guard lock(mutex_);
    if (--count_ <= 0) {
        count_ = 0;
        done_.notify_all();
    }
}

void DispatchGroup::wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return count_ == 0; });
}

namespace {

struct TaskCounter {
    std::mutex mutex;
    std::condition_variable idle;
    std::size_t running = 0;
};

TaskCounter& taskCounter() {
    static auto* counter = new TaskCounter();  // outlives every detached task
    return *counter;
}

}  // namespace

void Tasks::detach(std::function<void()> body, std::string threadName) {
    std::string where = "task " + (threadName.empty() ? std::string("unnamed") : threadName);
    auto& counter = taskCounter();
    {
        std::lock_guard lock(counter.mutex);
        ++counter.running;
    }
    std::thread([body = std::move(body), threadName = std::move(threadName),
                 where = std::move(where)] {
        nameCurrentThread(threadName);
        try {
            body();
        } catch (...) {
            // A task's own code reports its failures; what escapes it is still
            // reported, as nothing may escape a thread.
            reportCurrentException(where);
        }
        auto& c = taskCounter();
        std::lock_guard lock(c.mutex);
        if (--c.running == 0)
            c.idle.notify_all();
    }).detach();
}

bool Tasks::waitIdle(std::chrono::milliseconds timeout) {
    auto& counter = taskCounter();
    std::unique_lock lock(counter.mutex);
    return counter.idle.wait_for(lock, timeout, [&] { return counter.running == 0; });
}

std::size_t Tasks::running() {
    auto& counter = taskCounter();
    std::lock_guard lock(counter.mutex);
    return counter.running;
}

}  // namespace platform
