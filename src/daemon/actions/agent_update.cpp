#include "daemon/actions/agent_update.h"

#include <filesystem>
#include <mutex>

#include "daemon/core/app_core.h"
#include "daemon/core/installation_gate.h"
#include "daemon/core/shell.h"
#include "keelbase/paths.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/system_root.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

constexpr const char* kInstallFailedMessage = "Failed to install the new Agent update.";

std::string triggerFile() {
    return platform::SystemRoot::resolve(kUpdateTriggerPath);
}

// Removes the trigger file and the package it names and marks the request
// failed on the server. Without a usable trigger file the request the
// installation was started for is reported instead, so the server does not
// wait for an update that will never finish.
void cleanUpFailedInstallation(const std::string& packagePath,
                               const std::string& agentUpdateRequestId) {
    removeUpdatePackage(packagePath);
    std::string requestId = agentUpdateRequestId;
    if (auto trigger = removeUpdateInProgress())
        requestId = trigger->agentUpdateRequestId;
    try {
        App::Core::AgentUpdateRequests::updateStatusToFailed(requestId, kInstallFailedMessage);
    } catch (const std::exception&) {
        // The server lists the update again; nothing more to do here.
    }
}

// Length of the newline character starting at `text[i]`, or 0.
std::size_t newlineLength(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
    };
    const unsigned c = byte(i);
    if (c >= 0x0A && c <= 0x0D)
        return 1;
    if (c == 0xC2 && byte(i + 1) == 0x85)
        return 2;
    if (c == 0xE2 && byte(i + 1) == 0x80 && (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9))
        return 3;
    return 0;
}

}  // namespace

bool installPkg(const std::string& filePath, const std::string& agentUpdateRequestId) {
    Logging::WriteLine("Installing pkg from path: " + filePath);
    if (!platform::fileExists(filePath)) {
        Logging::WriteError("Package not found at " + filePath);
        cleanUpFailedInstallation(filePath, agentUpdateRequestId);
        return false;
    }
    Logging::WriteLine(platform::fileExists(triggerFile()) ? "update trigger exists"
                                                           : "update trigger does not exist");
    if (!beginInstallation()) {
        Logging::WriteError("An uninstall has begun; the agent update is not installed.");
        cleanUpFailedInstallation(filePath, agentUpdateRequestId);
        return false;
    }
    struct Installing {
        ~Installing() { endInstallation(); }
    } installing;
    platform::ProcessResult result;
    try {
        // The pipe is drained while the installer runs, so a chatty installer
        // never stalls on a full pipe.
        result = runPackageInstaller(filePath);
    } catch (const platform::LaunchError& error) {
        Logging::WriteError(std::string("Error installing pkg: ") + error.what());
        cleanUpFailedInstallation(filePath, agentUpdateRequestId);
        return false;
    }
    const std::string output =
        platform::isValidUtf8(result.output) ? platform::trimWhitespace(result.output) : "";
    Logging::WriteLine("Output String: " + output);
    // The installer's exit status is not consulted: its output alone decides.
    // It says "The install was successful." instead when the Mac holds no
    // receipt of an earlier version of the package (forgotten, or installed
    // some other way): a success just as well.
    if (output.find("The upgrade was successful.") != std::string::npos ||
        output.find("The install was successful.") != std::string::npos)
        return true;
    cleanUpFailedInstallation(filePath, agentUpdateRequestId);
    return false;
}

bool verifyFileHash(const std::string& filePath, const std::string& verifiedHash) {
    const auto digest = platform::sha256OfFile(filePath);
    if (!digest.hex) {
        Logging::WriteError("Error when verifying the file hash for agent update: " + digest.error);
        return false;
    }
    Logging::WriteLine("File hash detected: [" + *digest.hex + "]");
    return *digest.hex == verifiedHash;
}

bool writeUpdateTriggerFile(const std::string& agentUpdateRequestId,
                            const std::string& agentUpdateFilePath) {
    Logging::WriteLine("Writing update trigger file");
    // Two updates of this process may reach this point at once; only one may
    // hold the trigger, and one awaiting its close is never overwritten.
    static std::mutex writing;
    std::lock_guard lock(writing);
    if (updateAwaitsClose()) {
        Logging::WriteError("Error writing update trigger: an earlier update awaits its close.");
        return false;
    }
    // Mode 0600: readers trust the file only when nobody else could have
    // written it. Whatever a local user planted at the path is swapped out in
    // the same step, so racing entries into it cannot block the update.
    if (auto written = platform::replaceWithFile(
            triggerFile(), agentUpdateRequestId + "\n" + agentUpdateFilePath, 0600);
        written.failed()) {
        Logging::WriteError("Error writing update trigger: " + written.error());
        return false;
    }
    Logging::WriteLine("finished writing update trigger file");
    return true;
}

void removePathUnguarded(const std::string& filePath) {
    std::error_code ignored;
    std::filesystem::remove_all(filePath, ignored);
}

std::vector<std::string> splitAtNewlines(const std::string& text) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < text.size();) {
        if (const auto length = newlineLength(text, i)) {
            pieces.emplace_back();
            i += length;
        } else {
            pieces.back().push_back(text[i++]);
        }
    }
    return pieces;
}

std::optional<UpdateTrigger> readUpdateTrigger() {
    const std::string path = triggerFile();
    auto read = platform::readTrustedFile(path, kUpdateTriggerLimit);
    if (!read.exists)
        return std::nullopt;
    if (read.unreadableNow) {
        Logging::WriteError("Update trigger file " + path + " cannot be read now (" + read.problem +
                            "); it is left for the next start.");
        return std::nullopt;
    }
    std::string problem = read.problem;
    if (read.content && !platform::isValidUtf8(*read.content))
        problem = "it is not UTF-8 text";
    if (!problem.empty()) {
        removeUpdateTrigger();
        Logging::WriteError("Untrusted update trigger file " + path + " removed (" + problem +
                            "); nothing named in it was touched.");
        return std::nullopt;
    }
    const auto lines = splitAtNewlines(*read.content);
    UpdateTrigger trigger;
    trigger.agentUpdateRequestId = lines[0];
    if (lines.size() > 1)
        trigger.packagePath = lines[1];
    return trigger;
}

std::optional<UpdateTrigger> removeUpdateInProgress() {
    auto trigger = readUpdateTrigger();
    if (trigger) {
        removeUpdateTrigger();
        removeUpdatePackage(trigger->packagePath);
    }
    return trigger;
}

bool updateAwaitsClose() {
    const auto read = platform::readTrustedFile(triggerFile(), kUpdateTriggerLimit);
    return read.exists && (read.content || read.unreadableNow);
}

void removeUpdateTrigger() {
    (void)platform::removeEntryNoFollow(triggerFile());
}

void removeUpdatePackage(const std::string& packagePath) {
    if (packagePath.empty() || !platform::isRegularFileNoFollow(packagePath))
        return;
    std::error_code error;
    const auto folder = std::filesystem::canonical(
        platform::SystemRoot::resolve(Keelbase::Paths::kTempFolder), error);
    if (error)
        return;
    const auto parent =
        std::filesystem::canonical(std::filesystem::path(packagePath).parent_path(), error);
    if (error || parent != folder)
        return;
    std::filesystem::remove(packagePath, error);
}

void removeLeftoverPackages() {
    const auto folder = platform::SystemRoot::resolve(Keelbase::Paths::kTempFolder);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.symlink_status(error).type() == std::filesystem::file_type::regular)
            std::filesystem::remove(entry.path(), error);
    }
}

}  // namespace QVAgentLaunchDaemon
