#include "daemon/trigger_watcher.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <utility>

#include "daemon/app_core.h"
#include "daemon/globals.h"
#include "daemon/queue_keeper.h"
#include "daemon/uninstall.h"
#include "platform/files.h"
#include "platform/system_root.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

constexpr unsigned kWatchedEvents = platform::FileSystemEvent::write |
                                    platform::FileSystemEvent::remove |
                                    platform::FileSystemEvent::rename;

}  // namespace

TriggerWatcher::TriggerWatcher(OnTriggerFileCreated onTriggerFileCreated)
    : onTriggerFileCreated_(std::move(onTriggerFileCreated)) {}

std::shared_ptr<TriggerWatcher> TriggerWatcher::create(OnTriggerFileCreated onTriggerFileCreated) {
    std::shared_ptr<TriggerWatcher> watcher(new TriggerWatcher(std::move(onTriggerFileCreated)));
    const auto folder = platform::SystemRoot::resolve(watcher->path_);
    std::error_code error;
    if (!platform::fileExists(folder))
        std::filesystem::create_directory(folder, error);  // no parents; a failure shows below
    Logging::WriteLine(std::filesystem::exists(folder, error) ? "Triggers folder exists."
                                                              : "Trigger folder does not exist.");
    watcher->queue_->sync([&] { watcher->setupWatcher(); });
    return watcher;
}

TriggerWatcher::~TriggerWatcher() {
    closeWatcher();
    releaseWatcherQueue(queue_);
}

void TriggerWatcher::stop() {
    queue_->sync([this] {
        stopped_ = true;
        closeWatcher();
    });
    drain();
}

void TriggerWatcher::drain() {
    queue_->sync([] {});
}

void TriggerWatcher::setupWatcher() {
    closeWatcher();
    if (stopped_)
        return;
    fileDescriptor_ = platform::EventDescriptor::open(platform::SystemRoot::resolve(path_));
    if (!fileDescriptor_) {
        scheduleRetry();
        return;
    }
    Logging::WriteLine("\xE2\x9C\x85 Watching file at " + path_);
    source_ = std::make_unique<platform::FileSystemObjectSource>(fileDescriptor_, kWatchedEvents,
                                                                 *queue_);
    source_->setEventHandler([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->handleEvent();
    });
    source_->setCancelHandler(
        [self = shared_from_this(), descriptor = fileDescriptor_] { descriptor->close(); });
    source_->resume();
}

void TriggerWatcher::handleEvent() {
    const unsigned events = source_ ? source_->data() : 0;
    // A deleted or moved folder is not watched again: only writes count.
    if (events & platform::FileSystemEvent::write) {
        Logging::WriteLine("\xF0\x9F\x94\x84 File created, triggering...");
        if (onTriggerFileCreated_)
            onTriggerFileCreated_(path_);
    }
}

void TriggerWatcher::scheduleRetry() {
    queue_->asyncAfter(std::chrono::seconds(1), [self = shared_from_this()] {
        if (!self->stopped_)
            self->setupWatcher();
    });
}

void TriggerWatcher::closeWatcher() {
    if (source_)
        source_->cancel();
    source_.reset();
    if (fileDescriptor_) {
        fileDescriptor_->close();
        fileDescriptor_.reset();
    }
}

void handleTriggerFolderChange(const std::string& folderPath) {
    Logging::WriteLine("File watcher triggered");
    platform::Tasks::detach([folderPath] {
        const auto triggerFile = folderPath + "/uninstall.trigger";
        if (!platform::fileExists(platform::SystemRoot::resolve(triggerFile)))
            return;
        platform::Tasks::detach([] {
            try {
                uninstall();
            } catch (const std::exception& error) {
                Logging::WriteError(std::string("Error: ") + error.what());
                isUninstallProcessActive = false;
            }
        });
    });
}

void setupFileSystemWatchers() {
    Logging::WriteLine("Setting up file watchers for trigger folder");
    TriggerWatcher::create(handleTriggerFolderChange);
}

}  // namespace QVAgentLaunchDaemon
