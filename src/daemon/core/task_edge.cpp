#include "daemon/core/task_edge.h"

#include <exception>
#include <string>

#include "daemon/core/app_core.h"
#include "platform/dispatch.h"

namespace QVAgentLaunchDaemon {

bool runLoggingUnexpected(const std::function<void()>& body) noexcept {
    std::string description;
    try {
        body();
        return true;
    } catch (const std::exception& error) {
        description = error.what();
    } catch (...) {
        description = "an exception of unknown type";
    }
    try {
        App::Core::Logging::WriteError("Unexpected error: " + description);
    } catch (...) {
        // Logging itself failed (out of memory): nothing further can be reported.
    }
    return false;
}

void detachTask(std::string threadName, std::function<void()> body) {
    platform::Tasks::detach([body = std::move(body)] { runLoggingUnexpected(body); },
                            std::move(threadName));
}

}  // namespace QVAgentLaunchDaemon
