#include "daemon/trigger_watcher.h"

#include "daemon/app_core.h"

namespace QVAgentLaunchDaemon {

void setupFileSystemWatchers() {
    App::Core::Logging::WriteLine("Setting up file watchers for trigger folder");
}

}  // namespace QVAgentLaunchDaemon
