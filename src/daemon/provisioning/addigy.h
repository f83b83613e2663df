#pragma once
// The MDM agent: its installation and the link of its agent identifier.

#include <string>

namespace QVAgentLaunchDaemon {

void verifyAddigyInstallation(const std::string& computerId);

// Returns at once; the link runs on a background thread.
void linkComputerToAgentId();

}  // namespace QVAgentLaunchDaemon
