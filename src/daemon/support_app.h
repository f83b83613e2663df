#pragma once
// The Support App and its dialog helpers: installation, settings, launch agent.

#include <string>

namespace QVAgentLaunchDaemon {

class QVSupportApp {
  public:
    QVSupportApp() = delete;

    static bool verifySupportAppInstallation();
    static void installSupportApp(const std::string& computerId);
    // Removes both installer configuration files.
    static void cleanupSupportAppConfig();
};

}  // namespace QVAgentLaunchDaemon
