#include "daemon/support_app.h"

#include "daemon/app_core.h"
#include "platform/process.h"
#include "platform/system_root.h"

namespace QVAgentLaunchDaemon {

bool QVSupportApp::verifySupportAppInstallation() {
    return true;
}

void QVSupportApp::installSupportApp(const std::string&) {}

void QVSupportApp::cleanupSupportAppConfig() {
    for (const char* path : {"/tmp/qvconfig", "/tmp/QVInstaller.conf"}) {
        try {
            platform::runProcess("/usr/bin/env", {"rm", "-f", platform::SystemRoot::resolve(path)});
        } catch (const platform::LaunchError&) {
            // Clean-up removals ignore failures.
        }
    }
    App::Core::Logging::WriteLine("Cleaned up support app config file(s)");
}

}  // namespace QVAgentLaunchDaemon
