#pragma once
// A watcher's serial queue must never be destroyed by its own thread (the
// queue would join itself). When the last reference to a watcher drops on
// that queue, the queue is kept instead; this only happens when a test ends a
// watcher, the daemon's watchers live for the process.

#include <memory>

#include "platform/dispatch.h"

namespace QVAgentLaunchDaemon {

void releaseWatcherQueue(std::shared_ptr<platform::SerialQueue>& queue);

}  // namespace QVAgentLaunchDaemon
