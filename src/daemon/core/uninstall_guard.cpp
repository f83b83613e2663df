#include "daemon/core/uninstall_guard.h"

#include "daemon/core/globals.h"

namespace QVAgentLaunchDaemon {
namespace {

// The innermost guard of this thread: the sequence runs on its caller's thread.
thread_local UninstallGuard* innermost = nullptr;

}  // namespace

UninstallGuard::UninstallGuard() noexcept : outer_(innermost) {
    innermost = this;
}

UninstallGuard::~UninstallGuard() {
    innermost = outer_;
    if (took_ && !kept_)
        isUninstallProcessActive = false;
}

bool UninstallGuard::take() noexcept {
    if (isUninstallProcessActive.exchange(true))
        return false;
    if (innermost)
        innermost->took_ = true;
    return true;
}

}  // namespace QVAgentLaunchDaemon
