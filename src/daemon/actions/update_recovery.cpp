#include "daemon/actions/update_recovery.h"

#include <exception>
#include <memory>

#include "daemon/actions/agent_update.h"
#include "daemon/core/app_core.h"
#include "daemon/core/retries.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

// The close of an installed update: the acknowledgement of the pending action,
// then the "completed" status, each sent until the server accepts it. Only then
// are the trigger file and the package removed, so a report that fails is
// sent again, and no other update starts meanwhile. The final status goes
// last and the trigger goes right after it: a run that ends in between (a
// kill) makes the next start send it again, so that window is kept short.
class UpdateClose {
  public:
    explicit UpdateClose(UpdateTrigger trigger) : trigger_(std::move(trigger)) {}

    // True once the update is closed.
    bool attempt() {
        if (!acknowledged_)
            acknowledged_ = report("acknowledgement", [] {
                App::Core::Computers::pendingActionCompleted("updateAgent");
            });
        if (acknowledged_ && !completed_)
            completed_ = report("completed", [this] {
                App::Core::AgentUpdateRequests::updateStatusToCompleted(
                    trigger_.agentUpdateRequestId);
            });
        if (!acknowledged_ || !completed_)
            return false;
        removeUpdateTrigger();
        removeUpdatePackage(trigger_.packagePath);
        return true;
    }

  private:
    template <typename Send>
    bool report(const char* what, Send send) {
        try {
            send();
            return true;
        } catch (const std::exception& error) {
            Logging::WriteError("Agent update " + trigger_.agentUpdateRequestId + ": the " + what +
                                " was not accepted (" + error.what() +
                                "); it is sent again with the next configuration fetch.");
            return false;
        }
    }

    const UpdateTrigger trigger_;
    bool acknowledged_ = false;
    bool completed_ = false;
};

}  // namespace

// The trigger file's presence at start-up alone means the installer finished
// the update (it restarts the daemon); no version is compared.
void checkForAgentUpdateInProgress() {
    auto trigger = readUpdateTrigger();
    if (!trigger)
        return;
    auto close = std::make_shared<UpdateClose>(std::move(*trigger));
    if (!close->attempt())
        retryOnConfigurationSchedule([close] { return close->attempt(); });
}

}  // namespace QVAgentLaunchDaemon
