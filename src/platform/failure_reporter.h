#pragma once
// Where failures below the daemon go. Code in this layer that meets a failure
// nobody above can be told of otherwise (an exception caught at the edge of a
// thread, an event reader that stopped) hands one line to the installed
// reporter; the daemon installs one that writes an error line to its text log.
// Until then, and after an empty reporter is installed, each line is written
// to stderr in one write.

#include <functional>
#include <string>
#include <string_view>

namespace platform {

using FailureReporter = std::function<void(const std::string& line)>;

// Installs `reporter` for the whole process. It may be called from any
// thread, with no lock of this layer held.
void setFailureReporter(FailureReporter reporter);

// Hands `line` to the reporter. Never throws: a reporter that throws, or a
// line that cannot be built, falls back to stderr.
void reportFailure(std::string_view line) noexcept;

// "Unexpected error: <description> (<where>)".
void reportUnexpected(std::string_view description, std::string_view where) noexcept;

// Inside a catch block: reportUnexpected with the description of the
// exception being handled ("an exception of unknown type" when it is not a
// std::exception).
void reportCurrentException(std::string_view where) noexcept;

}  // namespace platform
