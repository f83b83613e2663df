#pragma once
// The trigger folder /Library/Application Support/Tessaly/Quorvel/Triggers
// and its watcher: any entry created, deleted or moved in the folder calls
// back with the folder's path; "uninstall.trigger" there starts the uninstall.

#include <functional>
#include <memory>
#include <string>

#include "daemon/core/paths.h"  // kTriggerFolder, kUninstallTriggerName
#include "daemon/watchers/path_watcher.h"

namespace QVAgentLaunchDaemon {

class TriggerWatcher : public PathWatcher {
  public:
    using OnTriggerFileCreated = std::function<void(const std::string& folderPath)>;

    // Creates the folder when nothing is there (parents are not created) and
    // starts watching; while the folder is missing it waits for it to
    // appear. Each time the watch opens, an "uninstall.trigger" already in the
    // folder is handled as if it had just been dropped. The caller owns the
    // watcher (see PathWatcher).
    static std::shared_ptr<TriggerWatcher> create(OnTriggerFileCreated onTriggerFileCreated);

  private:
    explicit TriggerWatcher(OnTriggerFileCreated onTriggerFileCreated);
    void watchOpened() override;
    void handleEvents(unsigned events) override;

    OnTriggerFileCreated onTriggerFileCreated_;
};

// The handler setupFileSystemWatchers() installs: when "uninstall.trigger" is
// in `folderPath`, runs uninstallReleasingGuardOnFailure() in a task of its
// own and logs what it throws.
void handleTriggerFolderChange(const std::string& folderPath);

// Logs "Setting up file watchers for trigger folder" and starts the watcher,
// which then lives for the process (once only).
void setupFileSystemWatchers();

}  // namespace QVAgentLaunchDaemon
