#include "daemon/actions/pending_actions.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <set>

#include "daemon/actions/agent_update.h"
#include "daemon/actions/uninstall.h"
#include "daemon/core/app_core.h"
#include "daemon/core/diagnostic_log.h"
#include "daemon/core/task_edge.h"

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

// Why the action cannot be run, or empty. Both fields are required: an update
// is never started with an invented request id or target version. The id ends
// up as a line of the update trigger file, so no control character may reach
// it (a line break would let the server name any file for removal).
std::string unusableUpdate(const PendingActionDTO& action) {
    if (!action.value || !action.display) {
        return std::string("'updateAgent' lacks ") + (!action.value && !action.display
                                                          ? "value and display"
                                                      : !action.value ? "value"
                                                                      : "display");
    }
    // Any C0 control, and the other newlines the trigger file's reader splits at.
    auto hasControl = [](const std::string& text) {
        return std::any_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x20; }) ||
               splitAtNewlines(text).size() > 1;
    };
    if (hasControl(*action.value))
        return "'updateAgent' value holds a control character";
    if (hasControl(*action.display))
        return "'updateAgent' display holds a control character";
    return {};
}

// The update ids being processed in this process: a configuration fetched
// while a slow installation runs lists the same action again.
class UpdatesInProgress {
  public:
    bool begin(const std::string& id) {
        std::lock_guard lock(mutex_);
        return ids_.insert(id).second;
    }
    void end(const std::string& id) {
        std::lock_guard lock(mutex_);
        ids_.erase(id);
    }

  private:
    std::mutex mutex_;
    std::set<std::string> ids_;
};

UpdatesInProgress& updatesInProgress() {
    static UpdatesInProgress updates;
    return updates;
}

void runUpdate(const PendingActionDTO& action, const PendingActionHandlers& handlers) {
    Logging::WriteLine("Processing pending action 'updateAgent'");
    if (auto problem = unusableUpdate(action); !problem.empty()) {
        Logging::WriteError("Failed to process pending action: " + problem);
        return;
    }
    if (!updatesInProgress().begin(*action.value)) {
        Logging::WriteLine("Agent update " + *action.value + " is already in progress; skipped.");
        return;
    }
    struct End {
        const std::string& id;
        ~End() { updatesInProgress().end(id); }
    } end{*action.value};
    // The trigger of an installed update stays until its close is reported;
    // another installation before that would overwrite or orphan it.
    if (updateAwaitsClose()) {
        Logging::WriteLine("Agent update " + *action.value +
                           " skipped: an earlier update awaits its close.");
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
    return {runAgentUpdate, App::Core::Computers::pendingActionCompleted,
            uninstallReleasingGuardOnFailure};
}

void processPendingActions(const std::vector<PendingActionDTO>& pendingActions) {
    processPendingActions(pendingActions, defaultPendingActionHandlers());
}

void processPendingActions(const std::vector<PendingActionDTO>& pendingActions,
                           const PendingActionHandlers& handlers) {
    for (const auto& action : pendingActions) {
        // One action failing in an unforeseen way never stops the ones after it.
        runLoggingUnexpected([&] {
            if (action.type == "uninstallAgent") {
                runUninstall(handlers);
            } else if (action.type == "updateAgent") {
                runUpdate(action, handlers);
            } else {
                log("Unsupported pending action type: " + action.type, true);
            }
        });
    }
}

}  // namespace QVAgentLaunchDaemon
