#include "daemon/pending_actions.h"

#include "daemon/app_core.h"

namespace QVAgentLaunchDaemon {

void processPendingActions(const std::vector<PendingActionDTO>& pendingActions) {
    for (const auto& action : pendingActions) {
        App::Core::Logging::WriteLine("Pending action received: " + action.type);
    }
}

}  // namespace QVAgentLaunchDaemon
