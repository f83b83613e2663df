#pragma once
// Every thread of the process starts here: named for the people who look at a
// running daemon (platform/thread_name.h) and counted, so tests can wait
// until every detached task has finished.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace platform {

enum class ThreadEnd {
    joined,    // its owner joins it (a queue, an event source, the network thread)
    detached,  // nobody joins it: a task that ends on its own
};

// Starts a thread named `name` (an empty name keeps the starting thread's)
// that runs `body`. What escapes `body` is reported
// (platform/failure_reporter.h) with "thread <name>", as nothing may escape
// a thread. A joined thread is returned for its owner to join; a detached one
// is detached here and an empty std::thread returned.
std::thread startThread(std::string name, std::function<void()> body, ThreadEnd end);

// The threads started by startThread, counted from their start to the end of
// their body.
class Tasks {
  public:
    // A detached task; what escapes `body` is reported with "task <name>".
    static void detach(std::function<void()> body, std::string threadName = {});
    // Waits until no detached thread is running; false when `timeout` passed
    // first. Joined threads end with their owners and are not waited for.
    static bool waitIdle(std::chrono::milliseconds timeout);
    // Detached threads running now.
    static std::size_t running();
    // Every thread started by startThread that is running now, joined or detached.
    static std::size_t threads();
};

}  // namespace platform
