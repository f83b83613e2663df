#pragma once
// File-system object events on one file or folder, the way the daemon's
// watchers expect them: a descriptor opened for event notification only, and
// a source on it that delivers write / delete / rename events on a serial
// queue. On Linux, built on inotify (platform/linux/fs_events.cpp):
//   file:   modified or closed after writing -> write; deleted -> delete;
//           moved -> rename
//   folder: an entry created, deleted or moved in or out -> write; the folder
//           itself deleted -> delete, moved -> rename
//   one entry of a folder (for a path that is not there yet): that entry
//           created or moved in -> write; the folder itself deleted ->
//           delete, moved -> rename

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/dispatch.h"
#include "platform/threads.h"

namespace platform {

namespace FileSystemEvent {
inline constexpr unsigned write = 1u << 0;
inline constexpr unsigned remove = 1u << 1;  // the object was deleted
inline constexpr unsigned rename = 1u << 2;
// The source stopped reading on an error (already reported): no event follows,
// whatever the mask. The owner sets up a new source to go on watching.
inline constexpr unsigned failed = 1u << 3;
}  // namespace FileSystemEvent

// One opened event descriptor. close() closes it at most once, whoever calls
// it first; a later call (say a cancel handler that runs after a restart
// already opened a newer descriptor) does nothing.
class EventDescriptor {
  public:
    // Absent when nothing can be watched at `path` (missing, no permission).
    static std::shared_ptr<EventDescriptor> open(const std::string& path);
    // Events about the entry named `entry` of `folder` only. A symbolic link
    // at `folder` is never followed: absent unless `folder` itself is a
    // folder that can be watched.
    static std::shared_ptr<EventDescriptor> openForEntry(const std::string& folder,
                                                         const std::string& entry);
    ~EventDescriptor();
    EventDescriptor(const EventDescriptor&) = delete;
    EventDescriptor& operator=(const EventDescriptor&) = delete;

    // True when this call closed the descriptor.
    bool close();
    bool isOpen() const { return !closed_.load(); }
    int number() const { return fd_; }
    bool isFolder() const { return folder_; }
    // The path watched (for an entry, the folder's).
    const std::string& path() const { return path_; }

  private:
    EventDescriptor(int fd, bool folder, std::string path, std::string entry = {})
        : fd_(fd), folder_(folder), path_(std::move(path)), entry_(std::move(entry)) {}
    friend class FileSystemObjectSource;

    int fd_;
    bool folder_;
    std::string path_;
    std::string entry_;  // set: only this entry's arrival counts
    std::atomic<bool> closed_{false};
};

// Events of one descriptor, delivered on `queue`. Handlers are set before
// resume(). After cancel() no event handler starts any more; the cancel
// handler then runs once on the queue. The source reads the descriptor only
// between resume() and cancel(); cancel() returns after the reading stopped,
// so the descriptor may be closed right after it. `threadName` names the
// thread that waits for the events (platform/threads.h); it sleeps until
// one comes. When waiting or reading fails, the failure is reported
// (platform/failure_reporter.h) and the event handler gets
// FileSystemEvent::failed: the source then delivers nothing more.
class FileSystemObjectSource {
  public:
    FileSystemObjectSource(std::shared_ptr<EventDescriptor> descriptor, unsigned eventMask,
                           SerialQueue& queue, std::string threadName = {});
    ~FileSystemObjectSource();  // cancels
    FileSystemObjectSource(const FileSystemObjectSource&) = delete;
    FileSystemObjectSource& operator=(const FileSystemObjectSource&) = delete;

    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);
    void resume();
    void cancel();
    bool isCancelled() const { return cancelled_->load(); }

    // The events pending for the event handler now running (0 outside it).
    unsigned data() const;

  private:
    // Per operating system (platform/linux/fs_events.cpp): start the thread
    // that waits for the descriptor's events, and wake it and join it.
    void startReading();
    void stopReading();
    void readLoop();
    // Reports why the reading stopped and delivers FileSystemEvent::failed.
    void fail(const std::string& description);
    void deliver(unsigned events);

    std::shared_ptr<EventDescriptor> descriptor_;
    unsigned mask_;
    SerialQueue& queue_;
    std::string threadName_;
    std::shared_ptr<std::function<void()>> eventHandler_;
    std::function<void()> cancelHandler_;
    std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<unsigned>> pending_ = std::make_shared<std::atomic<unsigned>>(0);
    std::shared_ptr<std::atomic<unsigned>> current_ = std::make_shared<std::atomic<unsigned>>(0);
    std::mutex mutex_;
    int wakeFd_ = -1;
    bool resumed_ = false;
    std::thread reader_;
};

}  // namespace platform
