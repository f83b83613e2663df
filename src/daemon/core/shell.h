#pragma once
// Command lines run through "/bin/bash" "-c", stdout and stderr mixed, and the
// package installer.

#include <future>
#include <optional>
#include <string>

#include "platform/process.h"

namespace QVAgentLaunchDaemon {

// The command's output, trimmed at both ends; the empty string when it is not
// UTF-8. The exit status is not looked at. Throws platform::LaunchError when
// bash cannot be started.
std::string shell(const std::string& command);

// shell() with a launch failure turned into an absent result.
std::optional<std::string> tryShell(const std::string& command);
// tryShell on a thread of its own ("qv-facts"), for commands whose answers a
// start needs and that need not wait for each other.
std::future<std::optional<std::string>> tryShellAsync(const std::string& command);

// "/usr/sbin/installer" "-pkg" <packagePath> "-target" "/", its stdout and
// stderr through one pipe drained while it runs. Throws platform::LaunchError
// when the installer cannot be started.
platform::ProcessResult runPackageInstaller(const std::string& packagePath);

}  // namespace QVAgentLaunchDaemon
