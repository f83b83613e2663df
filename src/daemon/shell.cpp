#include "daemon/shell.h"

#include "platform/process.h"

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

}  // namespace QVAgentLaunchDaemon
