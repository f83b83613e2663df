#pragma once
// Serial queues, one-shot groups and detached tasks (platform/threads.h): the
// concurrency building blocks the daemon's tasks, watchers and URL-session
// callbacks run on.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "platform/threads.h"

namespace platform {

// One thread running work items in FIFO order; delayed items run when due.
// `threadName` names that thread (platform/threads.h). An exception that
// escapes a work item is reported (platform/failure_reporter.h) and the queue
// goes on.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label, std::string threadName = {});
    // Finishes queued immediate items, drops delayed ones and joins the
    // thread. Destroying a queue from its own thread (say, a work item holding
    // the last reference to the queue's owner) is a fault of the owner: it is
    // reported and the process aborts.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> work);
    void asyncAfter(std::chrono::milliseconds delay, std::function<void()> work);
    // Runs `work` on the queue and waits for it (must not be called from the
    // queue); an exception thrown by `work` is rethrown here.
    void sync(const std::function<void()>& work);
    bool isCurrent() const;
    const std::string& label() const { return label_; }

  private:
    void run();

    std::string label_;
    std::string threadName_;
    std::string where_;  // names the queue in a failure report
    mutable Mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> ready_ QV_GUARDED_BY(mutex_);
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> delayed_
        QV_GUARDED_BY(mutex_);
    bool stopping_ QV_GUARDED_BY(mutex_) = false;
    std::thread thread_;
};

// A dispatch group used as a one-shot wait: enter before starting the work,
// leave from its completion, wait after starting it.
class DispatchGroup {
  public:
    void enter();
    void leave();
    void wait();

    // Leaves the group when it goes out of scope, however the scope ends: a
    // completion that throws never leaves its waiter blocked.
    class ScopedLeave {
      public:
        explicit ScopedLeave(DispatchGroup& group) : group_(group) {}
        ~ScopedLeave() { group_.leave(); }
        ScopedLeave(const ScopedLeave&) = delete;
        ScopedLeave& operator=(const ScopedLeave&) = delete;

      private:
        DispatchGroup& group_;
    };

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    long count_ = 0;
};

}  // namespace platform
