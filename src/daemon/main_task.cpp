#include "daemon/main_task.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "daemon/actions/agent_update.h"
#include "daemon/actions/update_recovery.h"
#include "daemon/configuration/workers.h"
#include "daemon/core/app_core.h"
#include "daemon/core/backoff.h"
#include "daemon/core/globals.h"
#include "daemon/core/identity.h"
#include "daemon/core/shell.h"
#include "daemon/core/task_edge.h"
#include "daemon/enrollment/enrollment.h"
#include "daemon/provisioning/addigy.h"
#include "daemon/provisioning/support_app.h"
#include "daemon/watchers/config_watcher.h"
#include "daemon/watchers/trigger_watcher.h"
#include "platform/dispatch.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

constexpr BackoffSettings kEnrollmentBackoff{5000, 5000, 300000, 6};

// Whether the preferences took the main task's first write; asked again
// before each registration until they do.
std::atomic<bool> preferencesWritable{false};

bool writeAdminPortalBaseUrl() {
    preferencesWritable = App::Core::State::SetValue(
        App::Core::State::StoredKey::adminPortalBaseUrl, adminPortalBaseUrl);
    return preferencesWritable;
}

// One enrollment attempt: login with a stored identifier, registration without.
// No computer is registered that the daemon could not keep: not while the
// stored identity cannot be read (it may well exist), nor while the
// preferences cannot be written (a full or read-only disk).
void enroll() {
    const auto identity = readStoredIdentity();
    if (identity.computerId) {
        auto token = login(*identity.computerId);
        authorizationToken.set(token);
        App::Core::State::SetValueInMemory(App::Core::State::MemoryKey::authorizationToken, token);
    } else if (identity.unreadable) {
        Logging::WriteError("The stored computer identity cannot be read now; enrollment waits.");
    } else if (!preferencesWritable && !writeAdminPortalBaseUrl()) {
        Logging::WriteError(
            "The preferences cannot be written; no computer is registered until they can.");
    } else {
        registerComputer();
    }
}

void writeAgentInfo(const std::optional<std::string>& computerId,
                    const std::optional<std::string>& machineName) {
    Logging::TitleLine("Agent Info");
    Logging::WriteLine("Computer ID: " +
                       (computerId ? "Optional(\"" + *computerId + "\")" : std::string("nil")));
    Logging::WriteLine("Machine Name: " + machineName.value_or("Unknown"));
    Logging::WriteLine("Agent Version: " + App::Core::Metadata::version());
}

void provisionAndRun(const std::optional<std::string>& computerId) {
    Logging::WriteLine("Authorization token is set.");
    checkForAgentUpdateInProgress();
    removeLeftoverPackages();
    if (computerId) {
        verifyAddigyInstallation(*computerId);
    } else {
        Logging::WriteError(
            "Computer ID is missing; skipping the MDM agent and Support App installation.");
    }
    linkComputerToAgentId();
    if (computerId && !QVSupportApp::verifySupportAppInstallation()) {
        QVSupportApp::installSupportApp(*computerId);
    }
    QVSupportApp::cleanupSupportAppConfig();
    startGetConfigurationWorker();
    startSendStateWorker();
    setupFileSystemWatchers();
}

}  // namespace

std::int64_t enrollmentRetryInterval(std::int64_t failedAttempts, platform::RandomSource& random) {
    return backoffInterval(kEnrollmentBackoff, failedAttempts, random);
}

std::optional<std::string> enrollUntilTokenHeld(const MainTaskSeams& seams) {
    // A computer whose network comes up late enrolls within seconds of it; the
    // random slots keep a fleet that boots at once from retrying in step.
    for (std::int64_t failedAttempts = 1;; ++failedAttempts) {
        // The machine's name is asked for while the enrollment talks to the API.
        auto machineName = tryShellAsync("scutil --get ComputerName");
        enroll();
        auto computerId = storedComputerId();
        writeAgentInfo(computerId, machineName.get());
        if (authorizationToken.get())
            return computerId;
        Logging::WriteLine("Authorization token not set.");
        const auto wait = enrollmentRetryInterval(failedAttempts, seams.random);
        Logging::WriteLine("Retrying enrollment in " + std::to_string(wait) + " ms.");
        seams.sleeper.sleepFor(std::chrono::milliseconds(wait));
    }
}

void runMainTask(const MainTaskSeams& seams) {
    Logging::Start(startFormatted, [] { return ENABLE_DIAGNOSTIC_LOGS.load(); });
    Logging::TitleLine("Working!");
    writeAdminPortalBaseUrl();
    provisionAndRun(enrollUntilTokenHeld(seams));
}

void main() {
    runMainTask({platform::SystemSleeper::instance(), platform::SecureRandom::instance()});
}

void startDaemon() {
    initializeGlobals();
    createDiagnosticsWatcher();
    platform::Tasks::detach(
        [] {
            if (runLoggingUnexpected([] { QVAgentLaunchDaemon::main(); }))
                return;
            // A daemon whose start-up broke off would look alive and do nothing:
            // end it, and launchd starts a fresh one.
            Logging::WriteError("The main task failed; the daemon exits to be started again.");
            std::_Exit(70);
        },
        "qv-main-task");
}

}  // namespace QVAgentLaunchDaemon
