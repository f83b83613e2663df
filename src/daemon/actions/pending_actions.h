#pragma once
// Pending actions of the configuration, carried out one at a time in order.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace QVAgentLaunchDaemon {

struct PendingActionDTO {
    std::string type;                    // "updateAgent", "uninstallAgent", ...
    std::optional<std::string> value;    // updateAgent: the agent update request id
    std::optional<std::string> display;  // updateAgent: the version to update to
};

// What the dispatcher runs for each action type. The defaults are
// runAgentUpdate(), App::Core::Computers::pendingActionCompleted and
// uninstall(); tests replace them.
struct PendingActionHandlers {
    std::function<bool(const std::string& agentUpdateId, const std::string& updateToVersion)>
        updateAgent;
    std::function<void(const std::string& actionType)> pendingActionCompleted;
    std::function<void()> uninstall;
};

PendingActionHandlers defaultPendingActionHandlers();

// Runs each action to its end before the next one starts; every failure is
// logged and the next action still runs. Only a successful update is
// acknowledged to the server. Blocks the calling thread; the configuration's
// completion handler runs it on its own task.
void processPendingActions(const std::vector<PendingActionDTO>& pendingActions);
void processPendingActions(const std::vector<PendingActionDTO>& pendingActions,
                           const PendingActionHandlers& handlers);

}  // namespace QVAgentLaunchDaemon
