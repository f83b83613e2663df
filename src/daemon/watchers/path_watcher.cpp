#include "daemon/watchers/path_watcher.h"

#include <chrono>
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
    fileDescriptor_ = platform::EventDescriptor::open(platform::SystemRoot::resolve(path_));
    if (!fileDescriptor_) {
        scheduleRetry();
        return;
    }
    watchOpened();
    source_ = std::make_unique<platform::FileSystemObjectSource>(fileDescriptor_, kWatchedEvents,
                                                                 *queue_, eventsThreadName_);
    source_->setEventHandler([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            runLoggingUnexpected(
                [&] { self->handleEvents(self->source_ ? self->source_->data() : 0); });
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
