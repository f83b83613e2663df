#include "daemon/core/shell.h"

#include "platform/process.h"
#include "platform/system_root.h"
#include "platform/text.h"
#include "platform/thread_name.h"

namespace QVAgentLaunchDaemon {

std::string shell(const std::string& command) {
    auto result = platform::runProcess("/bin/bash", {"-c", command});
    if (!platform::isValidUtf8(result.output))
        return {};
    return platform::trimWhitespace(result.output);
}

std::optional<std::string> tryShell(const std::string& command) {
    try {
        return shell(command);
    } catch (const platform::LaunchError&) {
        return std::nullopt;
    }
}

std::future<std::optional<std::string>> tryShellAsync(const std::string& command) {
    return std::async(std::launch::async, [command] {
        platform::nameCurrentThread("qv-facts");
        return tryShell(command);
    });
}

platform::ProcessResult runPackageInstaller(const std::string& packagePath) {
    return platform::runProcess(platform::SystemRoot::resolve("/usr/sbin/installer"),
                                {"-pkg", packagePath, "-target", "/"});
}

}  // namespace QVAgentLaunchDaemon
