#include "platform/failure_reporter.h"
#include "platform/lifetime.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <utility>

namespace platform {
namespace {

struct Installed {
    std::mutex mutex;
    FailureReporter reporter;
};

Installed& installed() {
    static ProcessLifetime<Installed> slot;  // reachable from threads that outlive main
    return *slot;
}

void writeToStderr(std::string_view line) noexcept {
    // One write per line, so it is not interleaved with other output; a
    // line that does not fit is cut rather than lost.
    char text[4096];
    const std::size_t length = std::min(line.size(), sizeof text - 1);
    line.copy(text, length);
    text[length] = '\n';
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, text, length + 1);
}

}  // namespace

void setFailureReporter(FailureReporter reporter) {
    auto& slot = installed();
    std::lock_guard lock(slot.mutex);
    slot.reporter = std::move(reporter);
}

void reportFailure(std::string_view line) noexcept {
    try {
        FailureReporter reporter;
        {
            auto& slot = installed();
            std::lock_guard lock(slot.mutex);
            reporter = slot.reporter;
        }
        if (reporter) {
            reporter(std::string(line));
            return;
        }
    } catch (...) {
        // The reporter itself failed: stderr still takes the line.
    }
    writeToStderr(line);
}

void reportUnexpected(std::string_view description, std::string_view where) noexcept {
    try {
        std::string line = "Unexpected error: ";
        line.append(description).append(" (").append(where).append(")");
        reportFailure(line);
    } catch (...) {
        reportFailure("Unexpected error: out of memory while describing a failure");
    }
}

void reportCurrentException(std::string_view where) noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        reportUnexpected(error.what(), where);
    } catch (...) {
        reportUnexpected("an exception of unknown type", where);
    }
}

}  // namespace platform
