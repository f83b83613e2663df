#include "daemon/core/installation_gate.h"

#include <condition_variable>
#include <mutex>

#include "daemon/core/globals.h"
#include "platform/lifetime.h"

namespace QVAgentLaunchDaemon {
namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};

Gate& gate() {
    // A detached uninstall may wait on it while the process exits.
    static platform::ProcessLifetime<Gate> kept;
    return *kept;
}

}  // namespace

bool beginInstallation() {
    // Marked before the flag is read, while the uninstall takes the flag before
    // it counts: one of the two always sees the other.
    {
        std::lock_guard lock(gate().mutex);
        ++gate().running;
    }
    if (!isUninstallProcessActive.load())
        return true;
    endInstallation();
    return false;
}

void endInstallation() {
    {
        std::lock_guard lock(gate().mutex);
        --gate().running;
    }
    gate().ended.notify_all();
}

bool waitForInstallationsToEnd(std::chrono::milliseconds limit) {
    std::unique_lock lock(gate().mutex);
    return gate().ended.wait_for(lock, limit, [] { return gate().running == 0; });
}

}  // namespace QVAgentLaunchDaemon
