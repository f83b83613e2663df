#pragma once
// The process entry's start-up sequence and the main task.

#include <optional>
#include <string>

#include "platform/time.h"

namespace QVAgentLaunchDaemon {

struct MainTaskSeams {
    platform::Sleeper& sleeper;
    platform::RandomSource& random;
};

// The main task: enrollment (retried on its own backoff until a token is
// held), the agent information, then provisioning, the workers and the
// trigger watcher.
void main();
void runMainTask(const MainTaskSeams& seams);

// Enrollment as the main task runs it: log in with the stored "computerId",
// else register; then the "Agent Info" block. Without a token it logs
// "Authorization token not set.", waits on enrollment's backoff and tries
// again exactly as at start (the identifier read anew), until a token is held.
// Returns the stored identifier as read after the successful attempt.
std::optional<std::string> enrollUntilTokenHeld(const MainTaskSeams& seams);

// Start-up sequence: globals, diagnostics watcher, the main task as a
// detached task. Returns once the task is started; the caller parks.
void startDaemon();

// Enrollment's own backoff after `failedAttempts` consecutive attempts without
// a token: slot 5 s, jitter up to 5 s, cap 5 min, ceiling 6.
std::int64_t enrollmentRetryInterval(std::int64_t failedAttempts, platform::RandomSource& random);

}  // namespace QVAgentLaunchDaemon
