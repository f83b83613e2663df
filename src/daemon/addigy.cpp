#include "daemon/addigy.h"

namespace QVAgentLaunchDaemon {

void verifyAddigyInstallation(const std::string&) {}

void linkComputerToAgentId() {}

}  // namespace QVAgentLaunchDaemon
