#include "daemon/actions/update_recovery.h"

#include <exception>

#include "daemon/actions/agent_update.h"
#include "daemon/core/app_core.h"

namespace QVAgentLaunchDaemon {

// The trigger file's presence at start-up alone means the installer finished
// the update (it restarts the daemon); no version is compared. The trigger is
// removed before the server calls, so a failed call is not retried later.
void checkForAgentUpdateInProgress() {
    auto trigger = readUpdateTrigger();
    if (!trigger)
        return;
    removeUpdateTrigger();
    try {
        App::Core::Computers::pendingActionCompleted("updateAgent");
    } catch (const std::exception&) {
    }
    removeUpdatePackage(trigger->packagePath);
    try {
        App::Core::AgentUpdateRequests::updateStatusToCompleted(trigger->agentUpdateRequestId);
    } catch (const std::exception&) {
    }
}

}  // namespace QVAgentLaunchDaemon
