#include "daemon/actions/uninstall.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <optional>

#include "daemon/actions/agent_update.h"
#include "daemon/core/app_core.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/globals.h"
#include "daemon/core/identity.h"
#include "daemon/core/installation_gate.h"
#include "daemon/core/paths.h"
#include "daemon/core/requests.h"
#include "daemon/core/shell.h"
#include "daemon/core/uninstall_guard.h"
#include "platform/files.h"
#include "platform/preferences.h"
#include "platform/process.h"
#include "platform/result.h"
#include "platform/system_root.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;
using namespace std::chrono_literals;

constexpr const char* kSupportAppCheck = "launchctl list | grep 'nl.root3.support'";

constexpr int kAddigyAttempts = 4;
constexpr int kAddigyFolderWaits = 300;
constexpr int kSupportAppStopAttempts = 10;
constexpr int kPingAttempts = 6;
constexpr auto kInstallationWaitLimit = std::chrono::minutes(30);

// Empty output means the launch agent is not loaded; a check that cannot run
// at all counts as still loaded, so the sequence never claims a stop it could
// not see.
bool supportAppListed() {
    auto output = tryShell(kSupportAppCheck);
    return !output || !output->empty();
}

void removeAddigy(platform::Sleeper& sleeper) {
    for (int attempt = 1;; ++attempt) {
        Logging::WriteLine("Attempt to send Addigy uninstall command");
        try {
            uninstallAddigy();
            return;
        } catch (const std::exception& error) {
            Logging::WriteError(std::string("Error: ") + error.what());
            Logging::WriteError("Attempt to send Addigy uninstall command failed");
            sleeper.sleepFor(2s);
        }
        if (attempt < kAddigyAttempts)
            continue;
        Logging::WriteLine("Performing Addigy offline uninstall");
        if (platform::fileExists(platform::SystemRoot::resolve(kMdmAgentRemovalScript))) {
            try {
                shell("sudo " + platform::SystemRoot::forCommandLine(kMdmAgentRemovalScript));
            } catch (const std::exception& error) {
                Logging::WriteError(std::string("Error: ") + error.what());
                throw CustomError("Failed to uninstall addigy offline");
            }
        }
        return;
    }
}

void waitForAddigyFolderToVanish(platform::Sleeper& sleeper) {
    const auto folder = platform::SystemRoot::resolve(kMdmAgentFolder);
    for (int waited = 0; waited < kAddigyFolderWaits && platform::fileExists(folder); ++waited)
        sleeper.sleepFor(1s);
    if (platform::fileExists(folder))
        throw CustomError("Addigy was not deleted in time.");
}

void stopSupportApp(platform::Sleeper& sleeper) {
    if (supportAppListed()) {
        const auto launchAgent = platform::SystemRoot::forCommandLine(kSupportAppLaunchAgent);
        for (int attempt = 1;; ++attempt) {
            Logging::WriteLine("Attempt to stop support app launch agent");
            tryShell("sudo launchctl bootout system " + launchAgent);
            tryShell("sudo launchctl remove 'nl.root3.support'");
            tryShell("launchctl remove 'nl.root3.support'");
            if (!supportAppListed())
                break;
            Logging::WriteLine("Attempt failed to stop support app launch agent");
            sleeper.sleepFor(1s);
            if (attempt >= kSupportAppStopAttempts)
                throw CustomError("Failed to stop support app");
        }
    }
    Logging::WriteLine("Support app launch agent stopped");
}

// A property list that is already gone counts as removed: a Support App that
// was never installed must not make the uninstall impossible.
void removeSupportAppFile(const char* absolutePath, const char* failure, const char* done) {
    std::error_code error;
    std::filesystem::remove(platform::SystemRoot::resolve(absolutePath), error);
    if (error)
        throw CustomError(failure);
    Logging::WriteLine(done);
}

void sendPing(platform::Sleeper& sleeper) {
    for (int attempt = 1; attempt <= kPingAttempts; ++attempt) {
        try {
            sendUninstallPingToApi();
            return;
        } catch (const std::exception&) {
            Logging::WriteLine("Problem uninstalling computer in API.");
            sleeper.sleepFor(2s);
        }
    }
}

void clearStoredIdentity() {
    for (const char* key : {"computerId", "agentId", "adminPortalBaseUrl"})
        (void)platform::Preferences::setValue(key, std::nullopt, BUNDLE_ID);  // failures reported
    (void)platform::Preferences::synchronize(BUNDLE_ID);
}

// Shared by both server calls: the recorded error, if any, is thrown.
// No installation starts once the uninstall has begun; one already running is
// let finish, so the product is not removed from under the installer.
void waitForInstallation() {
    if (waitForInstallationsToEnd(std::chrono::milliseconds(0)))
        return;
    Logging::WriteLine("Waiting for the agent update installation to end before uninstalling.");
    if (!waitForInstallationsToEnd(kInstallationWaitLimit))
        Logging::WriteError("The agent update installation did not end in time; uninstalling.");
}

// The answer's outcome, handed out of the completion handler: a failure is
// thrown once the exchange is over.
void throwIfFailed(const platform::Status& outcome) {
    if (outcome.failed())
        throw CustomError(outcome.error());
}

}  // namespace

bool uninstallAddigy() {
    Logging::WriteLine("Uninstalling Addigy");
    const auto computerId = storedComputerId();
    if (!computerId) {
        Logging::WriteLine("Could not get computer id when uninstalling Addigy");
        throw CustomError("Could not get computer id when uninstalling Addigy");
    }
    Logging::WriteLine("Making request to delete computer from Addigy");
    const auto url =
        realtimeBaseUrl + "/addigy/computer/" + platform::percentEncodePathSegment(*computerId);
    if (!platform::isValidUrl(url)) {
        Logging::WriteError("Invalid URL");
        throw CustomError("Invalid URL");
    }
    platform::Status outcome = platform::Status::success();
    sendAndWait(makeRequest("DELETE", url,
                            {.accept = std::nullopt,
                             .authorization = authorizationToken.get().value_or("")}),
                [&](const platform::DataTaskResult& result) {
                    if (result.error) {
                        outcome = platform::Status::failure("Request Error: " + *result.error);
                    } else if (result.response) {
                        logStatusCode(result.response->statusCode);
                        if (result.response->statusCode != 204) {
                            logRequestFailed(result.body);
                            outcome = platform::Status::failure("Request Failed");
                        }
                    }
                });
    throwIfFailed(outcome);
    return true;
}

void sendUninstallPingToApi() {
    Logging::WriteLine("Sending uninstall ping. Making request to delete computer from Quorvel.");
    const auto url = realtimeBaseUrl + "/computers/manualUninstall";
    if (!platform::isValidUrl(url)) {
        Logging::WriteError("Invalid URL");
        throw CustomError("Invalid URL");
    }
    auto token = authorizationToken.get();
    if (!token) {
        Logging::WriteError("Authorization token is nil");
        return;
    }
    platform::Status outcome = platform::Status::success();
    sendAndWait(makeRequest("POST", url, {.accept = std::nullopt, .authorization = *token}),
                [&](const platform::DataTaskResult& result) {
                    if (result.error) {
                        Logging::WriteError("Request error: " + *result.error);
                        outcome = platform::Status::failure("Request Error: " + *result.error);
                    }
                    if (result.response)
                        logStatusCode(result.response->statusCode);
                });
    throwIfFailed(outcome);
}

std::string selfRemovalScript() {
    using platform::SystemRoot;
    const auto productFolder = SystemRoot::resolve("/Library/Application Support/Tessaly");
    // Inside double quotes the shell still expands these; such a root is
    // single-quoted instead.
    const bool doubleQuotesSafe = productFolder.find_first_of("\"$`\\!") == std::string::npos;
    const auto quotedFolder = doubleQuotesSafe ? "\"" + productFolder + "\""
                                               : platform::shellQuoteIfNeeded(productFolder);
    return "#!/bin/bash\n"
           "\n"
           "sudo launchctl bootout system " +
           SystemRoot::forCommandLine("/Library/LaunchDaemons/com.tessaly.Quorvel.plist") +
           "\n"
           "\n"
           "sudo rm -f " +
           SystemRoot::forCommandLine("/Library/LaunchDaemons/com.tessaly.Quorvel.plist") +
           "\n"
           "\n"
           "sudo rm -f " +
           SystemRoot::forCommandLine("/Library/Preferences/com.tessaly.Quorvel.plist") +
           "\n"
           "\n"
           "sudo rm -rf " +
           quotedFolder +
           "\n"
           "sudo pkgutil --forget com.tessaly.Quorvel";
}

void uninstall(platform::Sleeper& sleeper) {
    Logging::WriteLine("Agent uninstall trigger received.");
    std::error_code ignored;
    std::filesystem::remove(platform::SystemRoot::resolve(kUninstallTriggerFile), ignored);
    if (!UninstallGuard::take()) {
        Logging::WriteLine("Agent uninstall is already in progress.");
        return;
    }
    waitForInstallation();
    removeAddigy(sleeper);
    waitForAddigyFolderToVanish(sleeper);
    stopSupportApp(sleeper);
    removeSupportAppFile(kSupportAppLaunchAgent, "Support App Launch Agent was not deleted",
                         "Support app launch agent plist deleted");
    removeSupportAppFile(kSupportAppPreferences, "Support App preferences plist was not deleted",
                         "Support app preferences plist deleted");
    sendPing(sleeper);
    clearStoredIdentity();
    // A trigger left behind would make the next installation's first start
    // report an update it never ran.
    removeUpdateInProgress();
    try {
        platform::spawnDetached("/bin/bash", {"-c", selfRemovalScript()});
    } catch (const std::exception&) {
        // Nothing is left to report to: the daemon's identity is already gone.
    }
}

void uninstall() {
    uninstall(platform::SystemSleeper::instance());
}

void uninstallReleasingGuardOnFailure() {
    UninstallGuard guard;
    uninstall();
    guard.keep();
}

}  // namespace QVAgentLaunchDaemon
