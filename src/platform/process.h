#pragma once
// Child processes: an executable with an argument list, its output drained
// through one pipe while it runs (a chatty child never stalls on a full pipe).

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// The child could not be started (missing executable, no permission, ...).
class LaunchError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ProcessOptions {
    bool mergeStderr = true;     // stderr into the same pipe as stdout
    bool discardStderr = false;  // when not merged: stderr to /dev/null (else inherited)
};

// Most output kept of one child: its last bytes, where a verdict such as an
// installer's stands; what came before is read and dropped, so no command can
// exhaust the daemon's memory.
inline constexpr std::size_t kMaxProcessOutput = 1024 * 1024;

struct ProcessResult {
    int exitStatus = -1;  // exit code, or 128 + signal number
    std::string output;   // the last kMaxProcessOutput bytes read from the pipe
};

// Runs the child to its end. Reads the pipe until every holder closed it, then
// reaps the child. Throws LaunchError when the child cannot be started.
ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

// Starts the child in a session of its own (so signals sent to the daemon's
// process group never reach it) with its standard streams on /dev/null, and
// returns at once; a detached thread, "qv-reaper", reaps it (counted by
// platform::Tasks like every detached thread). Throws LaunchError when it
// cannot be started.
void spawnDetached(const std::string& executable, const std::vector<std::string>& arguments);

}  // namespace platform
