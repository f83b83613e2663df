#include "daemon/core/shell.h"

#include <exception>
#include <memory>

#include "platform/process.h"
#include "platform/system_root.h"
#include "platform/text.h"
#include "platform/threads.h"

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
    auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
    auto future = answer->get_future();
    platform::startThread(
        "qv-facts",
        [answer, command] {
            try {
                answer->set_value(tryShell(command));
            } catch (...) {
                answer->set_exception(std::current_exception());
            }
        },
        platform::ThreadEnd::detached);
    return future;
}

platform::ProcessResult runPackageInstaller(const std::string& packagePath) {
    return platform::runProcess(platform::SystemRoot::resolve("/usr/sbin/installer"),
                                {"-pkg", packagePath, "-target", "/"});
}

}  // namespace QVAgentLaunchDaemon
