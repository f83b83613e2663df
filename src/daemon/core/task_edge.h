#pragma once
// The edge of every long-lived piece of the daemon (the main task, the
// workers, each pending-action run, each watcher callback): nothing thrown
// inside may end it silently.

#include <functional>
#include <string>

namespace QVAgentLaunchDaemon {

// Runs `body`; any exception that escapes it is logged as the failure line
// "Unexpected error: <description>" and swallowed. True when `body` returned.
bool runLoggingUnexpected(const std::function<void()>& body) noexcept;

// Starts `body` as a detached task whose edge is runLoggingUnexpected, on a
// thread named `threadName` for its job (at most 15 characters).
void detachTask(std::string threadName, std::function<void()> body);

}  // namespace QVAgentLaunchDaemon
