#include "daemon/update_recovery.h"

namespace QVAgentLaunchDaemon {

void checkForAgentUpdateInProgress() {}

}  // namespace QVAgentLaunchDaemon
