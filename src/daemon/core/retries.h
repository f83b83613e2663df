#pragma once
// Work that failed for a passing reason (a full disk, a server that refused a
// report) and must not be lost: it is tried again each time the configuration
// worker acts (a regular fetch or a retry of a failed one), until it reports
// that it is done.

#include <functional>

namespace QVAgentLaunchDaemon {

// `attempt` returns true once done; it is then forgotten. It must not throw
// (an exception is logged as unexpected and the attempt kept).
void retryOnConfigurationSchedule(std::function<bool()> attempt);

// Runs every kept attempt once, in the order they were added.
void runScheduledRetries();

}  // namespace QVAgentLaunchDaemon
