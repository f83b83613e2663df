#pragma once
// The uninstall sequence: MDM agent removal, Support App removal, the ping to
// the API, the stored identity cleared, and the self-removal script.

#include <string>

#include "platform/time.h"

namespace QVAgentLaunchDaemon {

// DELETE <realtime>/addigy/computer/<computerId>; 204 is the only success.
// Throws CustomError ("Could not get computer id when uninstalling Addigy",
// "Invalid URL", "Request Error: <description>", "Request Failed").
bool uninstallAddigy();

// POST <realtime>/computers/manualUninstall; any HTTP answer is delivered.
// Returns without a request when no token is held. Throws CustomError
// ("Invalid URL", "Request Error: <description>").
void sendUninstallPingToApi();

// The self-removal script, its paths resolved under the system root.
std::string selfRemovalScript();

// Runs the sequence once isUninstallProcessActive could be taken; returns at
// once when another run holds it. Throws CustomError when a step the sequence
// depends on fails; the flag then stays taken (the caller decides). Every wait
// goes through `sleeper`.
void uninstall(platform::Sleeper& sleeper);
void uninstall();

// uninstall() that releases isUninstallProcessActive when the run took it and
// then threw, whatever it threw, so a later request can start it again (the
// trigger folder and the pending actions run it so). The error passes out.
void uninstallReleasingGuardOnFailure();

}  // namespace QVAgentLaunchDaemon
