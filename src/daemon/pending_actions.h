#pragma once
// Pending actions of the configuration, carried out one at a time in order.

#include <optional>
#include <string>
#include <vector>

namespace QVAgentLaunchDaemon {

struct PendingActionDTO {
    std::string type;                    // "updateAgent", "uninstallAgent", ...
    std::optional<std::string> value;    // updateAgent: the agent update request id
    std::optional<std::string> display;  // updateAgent: the version to update to
};

void processPendingActions(const std::vector<PendingActionDTO>& pendingActions);

}  // namespace QVAgentLaunchDaemon
