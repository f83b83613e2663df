#include "daemon/pending_actions.h"

#include <exception>

#include "daemon/app_core.h"
#include "daemon/diagnostic_log.h"
#include "daemon/uninstall.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

void runUninstall(const PendingActionHandlers& handlers) {
    try {
        handlers.uninstall();
        log("Pending uninstall action completed.", false);
    } catch (const std::exception& error) {
        log(std::string("Error uninstalling: ") + error.what(), true);
    }
}

void runUpdate(const PendingActionDTO& action, const PendingActionHandlers& handlers) {
    Logging::WriteLine("Processing pending action 'updateAgent'");
    // Both fields are required: an update is never started with an invented
    // request id or target version.
    if (!action.value || !action.display) {
        const char* missing = !action.value && !action.display ? "value and display"
                              : !action.value                  ? "value"
                                                               : "display";
        Logging::WriteError(std::string("Failed to process pending action: 'updateAgent' lacks ") +
                            missing);
        return;
    }
    try {
        if (handlers.updateAgent(*action.value, *action.display)) {
            Logging::WriteLine("'updateAgent' pending action processed successfully.");
            handlers.pendingActionCompleted("updateAgent");
        } else {
            Logging::WriteLine("'updateAgent' pending action processing failed.");
        }
    } catch (const std::exception& error) {
        Logging::WriteError(std::string("Failed to process pending action: ") + error.what());
    }
}

}  // namespace

PendingActionHandlers defaultPendingActionHandlers() {
    return {App::Core::Agent::update, App::Core::Computers::pendingActionCompleted,
            uninstallReleasingGuardOnFailure};
}

void processPendingActions(const std::vector<PendingActionDTO>& pendingActions) {
    processPendingActions(pendingActions, defaultPendingActionHandlers());
}

void processPendingActions(const std::vector<PendingActionDTO>& pendingActions,
                           const PendingActionHandlers& handlers) {
    for (const auto& action : pendingActions) {
        if (action.type == "uninstallAgent") {
            runUninstall(handlers);
        } else if (action.type == "updateAgent") {
            runUpdate(action, handlers);
        } else {
            log("Unsupported pending action type: " + action.type, true);
        }
    }
}

}  // namespace QVAgentLaunchDaemon
