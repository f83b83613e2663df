#include "platform/fs_events.h"

#include <unistd.h>

#include <utility>

#include "platform/failure_reporter.h"

namespace platform {

EventDescriptor::~EventDescriptor() {
    close();
}

bool EventDescriptor::close() {
    if (closed_.exchange(true))
        return false;
    ::close(fd_);
    return true;
}

FileSystemObjectSource::FileSystemObjectSource(std::shared_ptr<EventDescriptor> descriptor,
                                               unsigned eventMask, SerialQueue& queue,
                                               std::string threadName)
    : descriptor_(std::move(descriptor)),
      mask_(eventMask),
      queue_(queue),
      threadName_(std::move(threadName)) {}

FileSystemObjectSource::~FileSystemObjectSource() {
    cancel();
}

void FileSystemObjectSource::setEventHandler(std::function<void()> handler) {
    eventHandler_ = std::make_shared<std::function<void()>>(std::move(handler));
}

void FileSystemObjectSource::setCancelHandler(std::function<void()> handler) {
    cancelHandler_ = std::move(handler);
}

void FileSystemObjectSource::resume() {
    std::lock_guard lock(mutex_);
    if (resumed_ || cancelled_->load() || !descriptor_ || !descriptor_->isOpen())
        return;
    resumed_ = true;
    startReading();
}

void FileSystemObjectSource::cancel() {
    std::function<void()> cancelHandler;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_->exchange(true))
            return;
        stopReading();
        cancelHandler = std::move(cancelHandler_);
        cancelHandler_ = nullptr;
    }
    if (cancelHandler)
        queue_.async(std::move(cancelHandler));
}

unsigned FileSystemObjectSource::data() const {
    return current_->load();
}

void FileSystemObjectSource::fail(const std::string& description) {
    reportUnexpected(description, "file events of " + descriptor_->path());
    deliver(FileSystemEvent::failed);
}

void FileSystemObjectSource::deliver(unsigned events) {
    if (events == 0 || !eventHandler_)
        return;
    // Events that arrive before the handler ran merge into one call, as a
    // dispatch source's pending data does.
    if (pending_->fetch_or(events) != 0)
        return;
    queue_.async(
        [cancelled = cancelled_, pending = pending_, current = current_, handler = eventHandler_] {
            current->store(pending->exchange(0));
            if (!cancelled->load() && current->load() != 0)
                (*handler)();
            current->store(0);
        });
}

}  // namespace platform
