#include "platform/dispatch.h"

#include <cstdlib>
#include <exception>
#include <utility>

#include "platform/failure_reporter.h"

namespace platform {

SerialQueue::SerialQueue(std::string label, std::string threadName)
    : label_(std::move(label)),
      threadName_(std::move(threadName)),
      where_("a work item of queue " + label_) {
    thread_ = startThread(
        threadName_, [this] { run(); }, ThreadEnd::joined);
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

}  // namespace platform
