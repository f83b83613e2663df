#pragma once
// The uninstall sequence: MDM agent removal, Support App removal, the ping to
// the API, the stored identity cleared, and the self-removal script.

namespace QVAgentLaunchDaemon {

// Throws CustomError when a step the sequence depends on fails, or when an
// uninstall is already running.
void uninstall();

}  // namespace QVAgentLaunchDaemon
