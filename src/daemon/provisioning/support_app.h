#pragma once
// The Support App and its dialog helpers: installation, settings, launch agent.

#include <optional>
#include <string>
#include <vector>

namespace QVAgentLaunchDaemon {

class QVSupportApp {
  public:
    QVSupportApp() = delete;

    // The product folder the archives arrive in and the applications live in.
    static const std::string& fileDest();

    // True when no archive is left to unpack.
    static bool verifySupportAppInstallation();
    static void installSupportApp(const std::string& computerId);
    // Removes both installer configuration files.
    static void cleanupSupportAppConfig();
    // The MDM agent's identifier; "UNKNOWN" when it cannot be read.
    static std::string getAgentID();

  private:
    friend struct QVSupportAppTestPeer;  // reaches the single steps in tests

    static std::string getFilePath(const std::string& name, const std::string& ext);
    static void unzipFile(const std::string& name);
    static void makeAppExecutable(const std::string& name,
                                  const std::optional<std::string>& executablePath);
    static void runCommand(const std::vector<std::string>& arguments);
    static void createSupportAppAgent();
    static void createPlist();
};

}  // namespace QVAgentLaunchDaemon
