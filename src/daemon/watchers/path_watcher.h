#pragma once
// What the daemon's file watchers share: one path (a file or a folder) watched
// on a serial queue of its own for writes, deletions and renames. While the
// path is missing, the nearest folder on the way to it that exists is watched
// for the next name on that way, so the path is taken up as soon as it
// appears, without polling; only when nothing can be watched at all is the
// watch retried every second. An event source that stops on an error (the
// platform reports it) is set up afresh after a second in the same way; the
// look at the path when it opens again stands for the events missed.
//
// Ownership: whoever creates a watcher owns it (the daemon's two watchers are
// process-wide and never released); its queue's work and its event source
// hold it only weakly, and take it only while it is not stopped. So after
// stop() nothing on the queue takes the watcher any more: an owner that calls
// stop() before it drops the last reference never has the watcher, and with
// it the queue, destroyed on the queue's own thread (which aborts).

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch.h"
#include "platform/fs_events.h"

namespace QVAgentLaunchDaemon {

class PathWatcher : public std::enable_shared_from_this<PathWatcher> {
  public:
    virtual ~PathWatcher();
    PathWatcher(const PathWatcher&) = delete;
    PathWatcher& operator=(const PathWatcher&) = delete;

    const std::string& path() const { return path_; }

    // Stops watching for good; pending retries do nothing. The daemon's
    // watchers live for the process; tests end theirs with this before they
    // drop them. Not on the watcher's queue.
    void stop();
    // Waits until the queue has run everything queued so far (tests).
    void drain();

  protected:
    // `name` (a few letters) names the watcher's threads: "qv-watch-<name>"
    // runs its queue, "qv-events-<name>" waits for its events.
    PathWatcher(std::string path, const std::string& name);

    // Opens the path and starts its event source, or waits for the path to
    // appear; runs on the queue. A watch already running is closed first.
    void setupWatcher();
    // Runs `work` on the watcher's queue and waits for it.
    void onQueue(const std::function<void()>& work);

    // On the queue: the path was opened, before its events are delivered.
    virtual void watchOpened() = 0;
    // On the queue: events (platform::FileSystemEvent bits) on the path.
    virtual void handleEvents(unsigned events) = 0;

  private:
    // Work for the queue that runs `work` on the watcher unless it is stopped
    // or gone by then; what `work` throws is logged. later() queues it after
    // `delay`.
    std::function<void()> guarded(std::function<void(PathWatcher&)> work);
    void later(std::chrono::milliseconds delay, std::function<void(PathWatcher&)> work);
    // On the queue: the source delivered `events`.
    void sourceFired();
    // Starts the event source on fileDescriptor_: the path's own events, or
    // while `awaiting_` the arrival of the next name on the way to it.
    void startSource();
    // The path is missing: watches the nearest existing folder on its way.
    void awaitPath(const std::string& resolved);
    void scheduleRetry();
    void closeWatcher();

    std::string path_;
    std::string eventsThreadName_;
    platform::SerialQueue queue_;  // outlives the source, which delivers on it
    std::unique_ptr<platform::FileSystemObjectSource> source_;
    std::shared_ptr<platform::EventDescriptor> fileDescriptor_;
    bool awaiting_ = false;  // queue only
    // Set on the queue by stop(); the queue's work looks at it before it takes the watcher.
    std::shared_ptr<std::atomic<bool>> stopped_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace QVAgentLaunchDaemon
