// The file-system event source on Linux: inotify for the events, an eventfd
// that wakes the reader when the source is cancelled.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <system_error>
#include <utility>

#include "platform/fs_events.h"

namespace platform {
namespace {

// "<call> failed: <errno's description>".
std::string callFailed(const char* call) {
    return std::string(call) + " failed: " + std::generic_category().message(errno);
}

}  // namespace

std::shared_ptr<EventDescriptor> EventDescriptor::open(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return nullptr;
    const bool folder = S_ISDIR(st.st_mode);
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0)
        return nullptr;
    const std::uint32_t selfEvents = IN_DELETE_SELF | IN_MOVE_SELF;
    const std::uint32_t mask =
        folder ? (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | selfEvents)
               : (IN_MODIFY | IN_CLOSE_WRITE | selfEvents);
    if (::inotify_add_watch(fd, path.c_str(), mask) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<EventDescriptor>(new EventDescriptor(fd, folder, path));
}

std::shared_ptr<EventDescriptor> EventDescriptor::openForEntry(const std::string& folder,
                                                               const std::string& entry) {
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0)
        return nullptr;
    // With IN_ONLYDIR, IN_DONT_FOLLOW refuses a link at `folder` instead of following it.
    const std::uint32_t mask =
        IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
    if (::inotify_add_watch(fd, folder.c_str(), mask) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<EventDescriptor>(new EventDescriptor(fd, true, folder, entry));
}

void FileSystemObjectSource::startReading() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        fail(callFailed("eventfd"));
        return;
    }
    reader_ = startThread(
        threadName_, [this] { readLoop(); }, ThreadEnd::joined);
}

void FileSystemObjectSource::stopReading() {
    if (reader_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
        reader_.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

void FileSystemObjectSource::readLoop() {
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    const bool folder = descriptor_->isFolder();
    const std::string& entry = descriptor_->entry_;
    for (;;) {
        pollfd fds[2] = {{descriptor_->fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail(callFailed("poll"));
            return;
        }
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            fail((fds[0].revents & POLLNVAL) != 0 ? "the descriptor is not open"
                                                  : "the descriptor reports an error");
            return;
        }
        unsigned events = 0;
        for (;;) {
            const ssize_t length = ::read(descriptor_->fd_, buffer, sizeof buffer);
            if (length < 0 && errno == EINTR)
                continue;
            if (length < 0 && errno != EAGAIN) {
                const auto description = callFailed("read");
                deliver(events & mask_);  // what was read before still counts
                fail(description);
                return;
            }
            if (length <= 0)
                break;
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                const bool aboutEntry = event->len > 0;
                if (event->mask & IN_DELETE_SELF)
                    events |= FileSystemEvent::remove;
                if (event->mask & IN_MOVE_SELF)
                    events |= FileSystemEvent::rename;
                if (!entry.empty()) {
                    if (aboutEntry && (event->mask & (IN_CREATE | IN_MOVED_TO)) &&
                        entry == event->name)
                        events |= FileSystemEvent::write;
                } else if (folder ? (aboutEntry && (event->mask & (IN_CREATE | IN_DELETE |
                                                                   IN_MOVED_FROM | IN_MOVED_TO)))
                                  : (event->mask & (IN_MODIFY | IN_CLOSE_WRITE)) != 0) {
                    events |= FileSystemEvent::write;
                }
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        deliver(events & mask_);
    }
}

}  // namespace platform
