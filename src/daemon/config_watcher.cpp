#include "daemon/config_watcher.h"

namespace QVAgentLaunchDaemon {

void createDiagnosticsWatcher() {}

}  // namespace QVAgentLaunchDaemon
