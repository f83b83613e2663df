#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/cloexec_pipe.h"
#include "platform/threads.h"

extern char** environ;

namespace platform {
namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        if (read >= 0)
            ::close(read);
        if (write >= 0)
            ::close(write);
    }
};

std::vector<char*> makeArgv(const std::string& executable,
                            const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

[[noreturn]] void throwLaunchError(const std::string& executable, int error) {
    throw LaunchError("The process \"" + executable +
                      "\" could not be launched: " + std::strerror(error));
}

// The child's file actions, standard input on /dev/null to begin with.
struct FileActions {
    FileActions() {
        posix_spawn_file_actions_init(&value);
        posix_spawn_file_actions_addopen(&value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&value); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    posix_spawn_file_actions_t value;
};

pid_t spawn(const std::string& executable, const std::vector<std::string>& arguments,
            const FileActions& actions, bool newSession = false) {
    // posix_spawn reports a failed exec of a missing file, but checking first
    // gives the same error for a file that exists without execute permission.
    if (::access(executable.c_str(), X_OK) != 0)
        throwLaunchError(executable, errno);
    auto argv = makeArgv(executable, arguments);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (newSession)
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    int rc =
        posix_spawn(&pid, executable.c_str(), &actions.value, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        throwLaunchError(executable, rc);
    return pid;
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
    Pipe pipe;
    int fds[2];
    if (openCloexecPipe(fds) != 0)
        throwLaunchError(executable, errno);
    pipe.read = fds[0];
    pipe.write = fds[1];

    FileActions actions;
    posix_spawn_file_actions_adddup2(&actions.value, pipe.write, STDOUT_FILENO);
    if (options.mergeStderr) {
        posix_spawn_file_actions_adddup2(&actions.value, pipe.write, STDERR_FILENO);
    } else if (options.discardStderr) {
        posix_spawn_file_actions_addopen(&actions.value, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    const pid_t pid = spawn(executable, arguments, actions);
    ::close(pipe.write);
    pipe.write = -1;

    // Drain until every holder of the write end has closed it; the child never
    // blocks on a full pipe.
    ProcessResult result;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(pipe.read, buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
            // Trimmed in steps of at least the limit, so each byte moves at most once.
            if (result.output.size() >= 2 * kMaxProcessOutput)
                result.output.erase(0, result.output.size() - kMaxProcessOutput);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    if (result.output.size() > kMaxProcessOutput)
        result.output.erase(0, result.output.size() - kMaxProcessOutput);
    result.exitStatus = waitForExit(pid);
    return result;
}

void spawnDetached(const std::string& executable, const std::vector<std::string>& arguments) {
    FileActions actions;
    posix_spawn_file_actions_addopen(&actions.value, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions.value, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const pid_t pid = spawn(executable, arguments, actions, true);
    startThread(
        "qv-reaper", [pid] { waitForExit(pid); }, ThreadEnd::detached);
}

}  // namespace platform
