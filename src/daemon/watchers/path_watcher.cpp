#include "daemon/watchers/path_watcher.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "daemon/core/unexpected.h"
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

// A serial queue must never be destroyed by its own thread (it would join
// itself). When the last reference to a watcher drops on its queue, the queue
// is kept instead; only a test that ends a watcher gets here.
void releaseQueue(std::shared_ptr<platform::SerialQueue>& queue) {
    if (!queue || !queue->isCurrent())
        return;
    static std::mutex mutex;
    static auto* kept = new std::vector<std::shared_ptr<platform::SerialQueue>>();
    std::lock_guard lock(mutex);
    kept->push_back(std::move(queue));
}

}  // namespace

PathWatcher::PathWatcher(std::string path, const std::string& name)
    : path_(std::move(path)),
      eventsThreadName_("qv-events-" + name),
      queue_(std::make_shared<platform::SerialQueue>("com.tessaly.Quorvel", "qv-watch-" + name)) {}

PathWatcher::~PathWatcher() {
    closeWatcher();
    releaseQueue(queue_);
}

void PathWatcher::stop() {
    queue_->sync([this] {
        stopped_ = true;
        closeWatcher();
    });
    drain();
}

void PathWatcher::drain() {
    queue_->sync([] {});
}

void PathWatcher::onQueue(const std::function<void()>& work) {
    queue_->sync(work);
}

void PathWatcher::setupWatcher() {
    closeWatcher();
    if (stopped_)
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
        queue_->async([self = shared_from_this()] { self->setupWatcher(); });
}

void PathWatcher::startSource() {
    source_ = std::make_unique<platform::FileSystemObjectSource>(fileDescriptor_, kWatchedEvents,
                                                                 *queue_, eventsThreadName_);
    source_->setEventHandler([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            runLoggingUnexpected([&] {
                // While awaiting, any event on the way means another look at the path.
                if (self->awaiting_)
                    self->setupWatcher();
                else
                    self->handleEvents(self->source_ ? self->source_->data() : 0);
            });
        }
    });
    // Closes the descriptor this source was made for, never a newer one, and
    // holds the watcher until the source is cancelled.
    source_->setCancelHandler(
        [self = shared_from_this(), descriptor = fileDescriptor_] { descriptor->close(); });
    source_->resume();
}

void PathWatcher::scheduleRetry() {
    queue_->asyncAfter(std::chrono::seconds(1), [self = shared_from_this()] {
        if (!self->stopped_)
            self->setupWatcher();
    });
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
