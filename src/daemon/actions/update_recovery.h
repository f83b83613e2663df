#pragma once

namespace QVAgentLaunchDaemon {

// Closes an agent update that the previous run left in progress.
void checkForAgentUpdateInProgress();

}  // namespace QVAgentLaunchDaemon
