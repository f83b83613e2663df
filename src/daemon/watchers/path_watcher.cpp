#include "daemon/watchers/path_watcher.h"

#include <chrono>
#include <filesystem>
#include <utility>

#include "daemon/core/task_edge.h"
#include "platform/system_root.h"

namespace QVAgentLaunchDaemon {
namespace {

constexpr unsigned kWatchedEvents = platform::FileSystemEvent::write |
                                    platform::FileSystemEvent::remove |
                                    platform::FileSystemEvent::rename;

bool isFolderNoFollow(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() ==
           std::filesystem::file_type::directory;
}

}  // namespace

PathWatcher::PathWatcher(std::string path, const std::string& name)
    : path_(std::move(path)),
      eventsThreadName_("qv-events-" + name),
      queue_("com.tessaly.Quorvel", "qv-watch-" + name) {}

PathWatcher::~PathWatcher() {
    // No work on the queue holds the watcher now, so none touches what is closed here.
    closeWatcher();
}

void PathWatcher::stop() {
    queue_.sync([this] {
        stopped_->store(true);
        closeWatcher();
    });
    drain();
}

void PathWatcher::drain() {
    queue_.sync([] {});
}

void PathWatcher::onQueue(const std::function<void()>& work) {
    queue_.sync(work);
}

std::function<void()> PathWatcher::guarded(std::function<void(PathWatcher&)> work) {
    return [weak = weak_from_this(), stopped = stopped_, work = std::move(work)] {
        if (stopped->load())
            return;
        if (auto self = weak.lock())
            runLoggingUnexpected([&] { work(*self); });
    };
}

void PathWatcher::later(std::chrono::milliseconds delay, std::function<void(PathWatcher&)> work) {
    queue_.asyncAfter(delay, guarded(std::move(work)));
}

void PathWatcher::setupWatcher() {
    closeWatcher();
    if (stopped_->load())
        return;
    const std::string resolved = platform::SystemRoot::resolve(path_);
    fileDescriptor_ = platform::EventDescriptor::open(resolved);
    if (!fileDescriptor_) {
        awaitPath(resolved);
        return;
    }
    awaiting_ = false;
    watchOpened();
    startSource();
}

void PathWatcher::awaitPath(const std::string& resolved) {
    namespace fs = std::filesystem;
    const fs::path target(resolved);
    // The nearest folder on the way that exists; a link there is not
    // followed, so it counts as missing.
    fs::path folder = target.parent_path();
    fs::path next = target.filename();
    while (!isFolderNoFollow(folder) && folder.has_relative_path()) {
        next = folder.filename();
        folder = folder.parent_path();
    }
    fileDescriptor_ = platform::EventDescriptor::openForEntry(folder.string(), next.string());
    if (!fileDescriptor_) {
        scheduleRetry();  // nothing can be watched there (say, no inotify watch left)
        return;
    }
    // What arrived between the failed open and the watch above is never
    // reported by it: the path is tried once more now that the watch is set.
    if (auto opened = platform::EventDescriptor::open(resolved)) {
        fileDescriptor_->close();
        fileDescriptor_ = std::move(opened);
        awaiting_ = false;
        watchOpened();
        startSource();
        return;
    }
    awaiting_ = true;
    startSource();
    // Likewise a folder on the way that arrived meanwhile: the wait moves below it.
    if (folder / next != target && isFolderNoFollow(folder / next))
        later(std::chrono::milliseconds(0), [](PathWatcher& self) { self.setupWatcher(); });
}

void PathWatcher::startSource() {
    source_ = std::make_unique<platform::FileSystemObjectSource>(fileDescriptor_, kWatchedEvents,
                                                                 queue_, eventsThreadName_);
    source_->setEventHandler(guarded([](PathWatcher& self) { self.sourceFired(); }));
    // Closes the descriptor this source was made for, never a newer one.
    source_->setCancelHandler([descriptor = fileDescriptor_] { descriptor->close(); });
    source_->resume();
}

void PathWatcher::sourceFired() {
    const unsigned events = source_ ? source_->data() : 0;
    const unsigned changes = events & ~platform::FileSystemEvent::failed;
    // While awaiting, any event on the way means another look at the path.
    if (changes != 0 && awaiting_) {
        setupWatcher();
    } else if (changes != 0) {
        handleEvents(changes);
    }
    if (events & platform::FileSystemEvent::failed) {
        // The source stopped reading (and reported why): watch afresh, after
        // a second so that a lasting failure does not spin.
        closeWatcher();
        scheduleRetry();
    }
}

void PathWatcher::scheduleRetry() {
    later(std::chrono::seconds(1), [](PathWatcher& self) { self.setupWatcher(); });
}

void PathWatcher::closeWatcher() {
    if (source_)
        source_->cancel();
    source_.reset();
    if (fileDescriptor_) {
        fileDescriptor_->close();
        fileDescriptor_.reset();
    }
}

}  // namespace QVAgentLaunchDaemon
