#pragma once
// An agent installation and an uninstall exclude each other: once an
// uninstall has begun (isUninstallProcessActive taken) no installation starts,
// and the uninstall waits for one in progress to end before it removes
// anything.

#include <chrono>

namespace QVAgentLaunchDaemon {

// Marks an installation as running; false (and nothing marked) once an
// uninstall has begun.
bool beginInstallation();
void endInstallation();

// For the uninstall, after it took isUninstallProcessActive: waits until no
// installation runs, at most `limit`. True when none runs.
bool waitForInstallationsToEnd(std::chrono::milliseconds limit);

}  // namespace QVAgentLaunchDaemon
