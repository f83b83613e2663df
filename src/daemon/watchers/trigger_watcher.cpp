#include "daemon/watchers/trigger_watcher.h"

#include <exception>
#include <filesystem>
#include <utility>

#include "daemon/actions/uninstall.h"
#include "daemon/core/app_core.h"
#include "daemon/core/task_edge.h"
#include "platform/files.h"
#include "platform/system_root.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

// The process-wide watcher on the trigger folder, created by the start-up sequence.
std::shared_ptr<TriggerWatcher> triggerFolderWatcher;

}  // namespace

TriggerWatcher::TriggerWatcher(OnTriggerFileCreated onTriggerFileCreated)
    : PathWatcher(kTriggerFolder, "trig"), onTriggerFileCreated_(std::move(onTriggerFileCreated)) {}

std::shared_ptr<TriggerWatcher> TriggerWatcher::create(OnTriggerFileCreated onTriggerFileCreated) {
    std::shared_ptr<TriggerWatcher> watcher(new TriggerWatcher(std::move(onTriggerFileCreated)));
    const auto folder = platform::SystemRoot::resolve(watcher->path());
    std::error_code error;
    // No parents; 0755 whatever the umask, so no other user can drop a trigger.
    if (!platform::fileExists(folder))
        (void)platform::createDirectory(folder, 0755);  // a failure shows below
    Logging::WriteLine(std::filesystem::exists(folder, error) ? "Triggers folder exists."
                                                              : "Trigger folder does not exist.");
    watcher->onQueue([&] { watcher->setupWatcher(); });
    return watcher;
}

void TriggerWatcher::watchOpened() {
    Logging::WriteLine("\xE2\x9C\x85 Watching file at " + path());
    // A trigger dropped while nothing watched (before the start, or while the
    // watch was set up again) counts as dropped now; one dropped from here on
    // is reported by the source.
    const auto trigger = platform::SystemRoot::resolve(path() + "/" + kUninstallTriggerName);
    if (platform::fileExists(trigger))
        handleEvents(platform::FileSystemEvent::write);
}

void TriggerWatcher::handleEvents(unsigned events) {
    // A deleted or moved folder is not watched again: only writes count.
    if (events & platform::FileSystemEvent::write) {
        Logging::WriteLine("\xF0\x9F\x94\x84 File created, triggering...");
        if (onTriggerFileCreated_)
            onTriggerFileCreated_(path());
    }
}

void handleTriggerFolderChange(const std::string& folderPath) {
    Logging::WriteLine("File watcher triggered");
    detachTask("qv-trigger", [folderPath] {
        const auto triggerFile = folderPath + "/" + kUninstallTriggerName;
        if (!platform::fileExists(platform::SystemRoot::resolve(triggerFile)))
            return;
        detachTask("qv-uninstall", [] {
            try {
                uninstallReleasingGuardOnFailure();
            } catch (const std::exception& error) {
                Logging::WriteError(std::string("Error: ") + error.what());
            }
        });
    });
}

void setupFileSystemWatchers() {
    Logging::WriteLine("Setting up file watchers for trigger folder");
    if (!triggerFolderWatcher)
        triggerFolderWatcher = TriggerWatcher::create(handleTriggerFolderChange);
}

}  // namespace QVAgentLaunchDaemon
