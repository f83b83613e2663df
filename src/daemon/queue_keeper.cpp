#include "daemon/queue_keeper.h"

#include <mutex>
#include <vector>

namespace QVAgentLaunchDaemon {

void releaseWatcherQueue(std::shared_ptr<platform::SerialQueue>& queue) {
    if (!queue || !queue->isCurrent())
        return;
    static std::mutex mutex;
    static auto* kept = new std::vector<std::shared_ptr<platform::SerialQueue>>();
    std::lock_guard lock(mutex);
    kept->push_back(std::move(queue));
}

}  // namespace QVAgentLaunchDaemon
