#include "daemon/uninstall.h"

#include "daemon/app_core.h"

namespace QVAgentLaunchDaemon {

void uninstall() {
    App::Core::Logging::WriteLine("Uninstall requested.");
}

}  // namespace QVAgentLaunchDaemon
