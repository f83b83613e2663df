#pragma once
// A mutex and its scoped lock, annotated for clang's thread-safety analysis
// (platform/thread_annotations.h): members marked QV_GUARDED_BY(mutex) may be
// touched only while a MutexLock on that mutex is held.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class QV_CAPABILITY("mutex") Mutex {
  public:
    void lock() QV_ACQUIRE() { mutex_.lock(); }
    void unlock() QV_RELEASE() { mutex_.unlock(); }

  private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds `mutex` from construction to destruction, except between unlock()
// and lock(), and while waiting on a condition variable.
class QV_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) QV_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() QV_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() QV_RELEASE() { lock_.unlock(); }
    void lock() QV_ACQUIRE() { lock_.lock(); }

    // Releases the mutex while waiting for `condition` to be notified (or,
    // spuriously, without), and holds it again on return.
    void wait(std::condition_variable& condition) { condition.wait(lock_); }
    // Likewise, but returns by `deadline` at the latest.
    template <class Clock, class Duration>
    void waitUntil(std::condition_variable& condition,
                   const std::chrono::time_point<Clock, Duration>& deadline) {
        condition.wait_until(lock_, deadline);
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace platform
