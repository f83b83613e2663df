#pragma once
// The daemon's product paths, each spelled once, as the product knows them
// (unresolved: resolve under the system root before touching the file
// system). The product folder and its logs and temp folders are the
// framework's (keelbase/paths.h).

#include <string_view>

#include "keelbase/paths.h"

namespace QVAgentLaunchDaemon {

// The trigger folder; "uninstall.trigger" dropped there starts the uninstall.
inline constexpr const char* kTriggerFolder =
    "/Library/Application Support/Tessaly/Quorvel/Triggers";
inline constexpr const char* kUninstallTriggerName = "uninstall.trigger";
inline constexpr const char* kUninstallTriggerFile =
    "/Library/Application Support/Tessaly/Quorvel/Triggers/uninstall.trigger";

// The diagnostics switch file.
inline constexpr const char* kDebugConfigurationFile =
    "/Library/Application Support/Tessaly/Quorvel/debug.conf";

// The MDM agent: its folder, executable and removal script.
inline constexpr const char* kMdmAgentFolder = "/Library/Addigy";
inline constexpr const char* kMdmAgentExecutable = "/Library/Addigy/go-agent";
inline constexpr const char* kMdmAgentRemovalScript = "/Library/Addigy/remove_agent.sh";

// The Support App's launch agent and its preferences.
inline constexpr const char* kSupportAppLaunchAgent =
    "/Library/LaunchAgents/nl.root3.support.plist";
inline constexpr const char* kSupportAppPreferences = "/Library/Preferences/nl.root3.support.plist";

namespace PathChecks {
constexpr bool isInside(std::string_view path, std::string_view folder, std::string_view name) {
    return path.size() == folder.size() + 1 + name.size() && path.starts_with(folder) &&
           path[folder.size()] == '/' && path.ends_with(name);
}
static_assert(isInside(kTriggerFolder, Keelbase::Paths::kProductFolder, "Triggers"));
static_assert(isInside(kUninstallTriggerFile, kTriggerFolder, kUninstallTriggerName));
static_assert(isInside(kDebugConfigurationFile, Keelbase::Paths::kProductFolder, "debug.conf"));
static_assert(isInside(kMdmAgentExecutable, kMdmAgentFolder, "go-agent"));
static_assert(isInside(kMdmAgentRemovalScript, kMdmAgentFolder, "remove_agent.sh"));
}  // namespace PathChecks

}  // namespace QVAgentLaunchDaemon
