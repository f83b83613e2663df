#include "daemon/provisioning/support_app.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "daemon/core/app_core.h"
#include "daemon/core/identity.h"
#include "daemon/core/paths.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/process.h"
#include "platform/system_root.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;
using platform::SystemRoot;

using Keelbase::Paths::kProductFolder;
constexpr const char* kUnpackTool = "/usr/bin/ditto";
constexpr const char* kAutomatorStub =
    "/ShowActionDialog.app/Contents/MacOS/Automator Application Stub";
constexpr mode_t kExecutableMode = 0755;

// Paths under the product folder, as logged and as found on disk.
std::string inProduct(const std::string& relative) {
    return std::string(kProductFolder) + relative;
}
std::string onDisk(const std::string& relative) {
    return SystemRoot::resolve(inProduct(relative));
}

void removeQuietly(const std::string& relative) {
    std::error_code ignored;
    std::filesystem::remove_all(onDisk(relative), ignored);
}

void moveQuietly(const std::string& from, const std::string& to) {
    std::error_code ignored;
    std::filesystem::rename(onDisk(from), onDisk(to), ignored);
}

void writePropertyList(const char* path, const platform::PlistDict& contents) {
    // A write failure is not reported: the settings are rewritten on the next installation.
    const std::string onDiskPath = SystemRoot::resolve(path);
    (void)platform::createDirectories(std::filesystem::path(onDiskPath).parent_path().string());
    (void)platform::writePlistFile(onDiskPath, contents, 0644);
    Logging::WriteLine(std::string("Plist created at: ") + path);
}

}  // namespace

const std::string& QVSupportApp::fileDest() {
    static const std::string folder = kProductFolder;
    return folder;
}

bool QVSupportApp::verifySupportAppInstallation() {
    bool notUnpacked = false;
    for (const char* archive :
         {"Dialog.app.zip", "ShowActionDialog.app.zip", "Support.2.6.1.app.zip"}) {
        if (platform::fileExists(onDisk(std::string("/") + archive))) {
            notUnpacked = true;
            break;
        }
    }
    Logging::WriteLine(std::string("notUnpacked: ") + (notUnpacked ? "true" : "false"));
    if (notUnpacked) {
        Logging::WriteLine("Support app is not installed.");
        return false;
    }
    Logging::WriteLine(std::string("Support app is already installed. ") + kSupportAppPreferences);
    return true;
}

void QVSupportApp::installSupportApp(const std::string& computerId) {
    Logging::WriteLine("Starting Quorvel Support App installation...");
    removeQuietly("/Dialog.app");
    removeQuietly("/ShowActionDialog.app");
    removeQuietly("/Support.2.6.1.app");
    Logging::WriteLine("Old apps removed.");

    Logging::WriteLine("Installing Support app");
    unzipFile("Support.2.6.1.app.zip");
    moveQuietly("/Support.app", "/Support.2.6.1.app");
    createSupportAppAgent();
    Logging::WriteLine("Support app installed.");

    const std::string agentId = getAgentID();
    Logging::WriteLine("Agent ID: " + agentId);
    Logging::WriteLine("Computer ID: " + computerId);

    Logging::WriteLine("Installing dialog helper");
    unzipFile("Dialog.app.zip");
    unzipFile("ShowActionDialog.app.zip");
    moveQuietly("/Dialog", "/Dialog.app");
    moveQuietly("/ShowActionDialog", "/ShowActionDialog.app");
    makeAppExecutable("Dialog.app", "/Contents/MacOS/Dialog");
    if (::chmod(onDisk(kAutomatorStub).c_str(), kExecutableMode) != 0) {
        const std::string reason = std::strerror(errno);
        Logging::WriteError("Couldn't set automator to executable");
        Logging::WriteError("Error: " + reason);
    }
    Logging::WriteLine("dialog helper installed");
    Logging::WriteLine("Configuring support app settings.");

    createPlist();
    runCommand({"defaults", "read", SystemRoot::resolve(kSupportAppPreferences)});
    runCommand(
        {"sudo", "launchctl", "bootout", "system", SystemRoot::resolve(kSupportAppLaunchAgent)});
    runCommand({"sudo", "launchctl", "remove", "nl.root3.support"});
    runCommand({"launchctl", "remove", "nl.root3.support"});
    runCommand(
        {"sudo", "launchctl", "bootstrap", "system", SystemRoot::resolve(kSupportAppLaunchAgent)});
    Logging::WriteLine("Quorvel Elevated Session configuration complete.");
}

void QVSupportApp::cleanupSupportAppConfig() {
    // Removed in process, never followed: no child process on the start's path.
    // The installer configuration stays while the identifier awaits its write.
    removeInstallerConfiguration();
    (void)platform::removeEntryNoFollow(SystemRoot::resolve("/tmp/QVInstaller.conf"));
    Logging::WriteLine("Cleaned up support app config file(s)");
}

std::string QVSupportApp::getAgentID() {
    platform::ProcessResult result;
    try {
        result =
            platform::runProcess(SystemRoot::resolve(kMdmAgentExecutable), {"agent", "agentid"},
                                 {.mergeStderr = false, .discardStderr = false});
    } catch (const platform::LaunchError& error) {
        Logging::WriteError(std::string("Could not get the Addigy Agent ID: ") + error.what());
        return "UNKNOWN";
    }
    if (!platform::isValidUtf8(result.output))
        return "UNKNOWN";
    return platform::trimWhitespace(result.output);
}

std::string QVSupportApp::getFilePath(const std::string& name, const std::string& ext) {
    const std::string path = fileDest() + "/" + name + "." + ext;
    Logging::WriteLine("Returning file path: " + path);
    return path;
}

void QVSupportApp::unzipFile(const std::string& name) {
    std::string base = name;
    for (auto at = base.find(".zip"); at != std::string::npos; at = base.find(".zip"))
        base.erase(at, 4);
    const std::string archive = getFilePath(base, "zip");
    Logging::WriteLine("Unzipping file from Source path: " + archive);
    const std::string archiveOnDisk = SystemRoot::resolve(archive);
    if (!platform::fileExists(archiveOnDisk)) {
        Logging::WriteError(name + " not found in " + fileDest());
        return;
    }
    try {
        platform::runProcess(SystemRoot::resolve(kUnpackTool),
                             {"-x", "-k", archiveOnDisk, SystemRoot::resolve(fileDest())});
    } catch (const platform::LaunchError&) {
        // The archive is removed whether or not it could be unpacked.
    }
    std::error_code ignored;
    std::filesystem::remove(archiveOnDisk, ignored);
}

void QVSupportApp::makeAppExecutable(const std::string& name,
                                     const std::optional<std::string>& executablePath) {
    if (!executablePath)
        return;
    (void)::chmod(onDisk("/" + name + *executablePath).c_str(), kExecutableMode);
}

void QVSupportApp::runCommand(const std::vector<std::string>& arguments) {
    try {
        platform::runProcess("/usr/bin/env", arguments);
    } catch (const platform::LaunchError& error) {
        Logging::WriteError(std::string("Error when running command: ") + error.what());
    }
}

void QVSupportApp::createSupportAppAgent() {
    Logging::WriteLine("Creating launch agent for support app.");
    writePropertyList(kSupportAppLaunchAgent,
                      {{"Label", "nl.root3.support"},
                       {"Program", fileDest() + "/Support.2.6.1.app/Contents/MacOS/Support"},
                       {"KeepAlive", true},
                       {"ProcessType", "Interactive"},
                       {"AssociatedBundleIdentifiers", "nl.root3.support"}});
}

void QVSupportApp::createPlist() {
    writePropertyList(kSupportAppPreferences,
                      {{"Title", "Elevated Sessions"},
                       {"Logo", fileDest() + "/shield-user-icon.png"},
                       {"LogoDarkMode", fileDest() + "/shield-user-icon-white.png"},
                       {"StatusBarIcon", fileDest() + "/shield-user-icon-white.png"},
                       {"NotificationIcon", fileDest() + "/shield-user-icon.png"},
                       {"CustomColor", "#0066CC"},
                       {"HideFirstRowInfoItems", true},
                       {"HideSecondRowInfoItems", true},
                       {"HideSecondRowButtons", true},
                       {"FirstRowTitleLeft", "Request Elevated Session"},
                       {"FirstRowTypeLeft", "App"},
                       {"FirstRowLinkLeft", "com.apple.automator.ShowActionDialog"},
                       {"FirstRowSymbolLeft", "arrow.counterclockwise.circle"},
                       {"FirstRowTitleRight", "Cancel Current Elevated Session"},
                       {"FirstRowTypeRight", "App"},
                       {"FirstRowLinkRight", "com.apple.automator.ShowActionDialog"},
                       {"FirstRowSymbolRight", "xmark.circle"},
                       {"StatusBarIconNotifierEnabled", false},
                       {"ShowWelcomeScreen", false},
                       {"OpenAtLogin", true}});
}

}  // namespace QVAgentLaunchDaemon
