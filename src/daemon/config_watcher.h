#pragma once
// The diagnostics switch: a watcher on
// /Library/Application Support/Tessaly/Quorvel/debug.conf.

namespace QVAgentLaunchDaemon {

// Creates the process-wide watcher (debugConfigFileWatcher) once.
void createDiagnosticsWatcher();

}  // namespace QVAgentLaunchDaemon
