#pragma once
// The trigger folder and its watcher.

namespace QVAgentLaunchDaemon {

void setupFileSystemWatchers();

}  // namespace QVAgentLaunchDaemon
