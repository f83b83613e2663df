#include "support/sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "platform/plist.h"
#include "support/checks.h"

extern char** environ;

namespace qvtest {
namespace fs = std::filesystem;

namespace {

// The strings as a null-terminated array, for exec.
std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int terminateAndReap(pid_t pid, int signal = SIGTERM) {
    ::kill(pid, signal);
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 5s)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    return status;
}

}  // namespace

pid_t spawnProcess(const std::string& executable, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment,
                   const std::string& outputFile) {
    // env puts the given variables over this process's and runs the executable in its place.
    std::vector<std::string> argStrings{"env"};
    for (const auto& [name, value] : environment)
        argStrings.push_back(name + "=" + value);
    argStrings.push_back(executable);
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
#if defined(__GLIBC__)
    // Only the three standard streams: a child run under a descriptor limit
    // must not start with the test runner's descriptors counted against it.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/usr/bin/env", &actions, nullptr, pointersTo(argStrings).data(),
                         environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + executable + ": " + std::strerror(rc));
    return pid;
}

pid_t spawnAsNobody(const std::vector<std::string>& command, const std::string& outputFile) {
    std::vector<std::string> strings = command;
    const auto argv = pointersTo(strings);  // built before fork: the child only execs
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(out, STDERR_FILENO) < 0 ||
            ::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("cannot fork: " + std::string(std::strerror(errno)));
    return pid;
}

Sandbox::Sandbox() : root_(dir_.str()) {
    fs::create_directories(root_ + "/tmp");
}

void Sandbox::writeFile(const std::string& absolutePath, const std::string& content,
                        unsigned mode) {
    qvtest::writeFile(path(absolutePath), content);
    ::chmod(path(absolutePath).c_str(), mode);
}

std::map<std::string, std::string> Sandbox::daemonEnvironment(
    const std::string& apiBaseUrl, std::map<std::string, std::string> extra) const {
    const char* path = std::getenv("PATH");
    extra.insert({{"QV_ROOT", root_},
                  {"QV_API_BASE_URL", apiBaseUrl},
                  {"PATH", std::string(QV_SHIMS_DIR) + ":" + (path ? path : "/usr/bin:/bin")}});
    return extra;
}

void Sandbox::startDaemon(const std::string& apiBaseUrl,
                          const std::map<std::string, std::string>& extraEnvironment,
                          std::vector<std::string> launcher) {
    launcher.push_back(QV_DAEMON_BINARY);
    const std::string executable = launcher.front();
    launcher.erase(launcher.begin());
    daemon_ = spawnProcess(executable, launcher, daemonEnvironment(apiBaseUrl, extraEnvironment),
                           path("/daemon.out"));
}

int Sandbox::stopDaemon(int signal) {
    if (daemon_ <= 0)
        return -1;
    return terminateAndReap(std::exchange(daemon_, -1), signal);
}

bool Sandbox::daemonRunning() {
    int status = 0;
    if (daemon_ > 0 && ::waitpid(daemon_, &status, WNOHANG) == daemon_)
        daemon_ = -1;
    return daemon_ > 0;
}

std::size_t Sandbox::peakResidentBytes() const {
    if (daemon_ <= 0)
        return 0;
#if defined(__linux__)
    std::ifstream status("/proc/" + std::to_string(daemon_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return std::stoul(line.substr(6)) * 1024;  // "VmHWM:   12345 kB"
    }
    return 0;
#else
    // Elsewhere ps tells only the resident size now (in KiB), not its peak.
    const std::string file = root_ + "/.rss";
    std::size_t kib = 0;
    if (std::system(("ps -o rss= -p " + std::to_string(daemon_) + " > '" + file + "'").c_str()))
        return 0;
    std::ifstream(file) >> kib;
    return kib * 1024;
#endif
}

bool Sandbox::waitForLog(const std::string& text, std::chrono::milliseconds timeout,
                         int occurrences) const {
    return eventually([&] { return countInLog(text) >= occurrences; }, timeout);
}

std::optional<std::string> Sandbox::preference(const std::string& key) const {
    const auto plist =
        platform::plistFromBytes(readFile("/Library/Preferences/com.tessaly.Quorvel.plist"));
    const auto* dict = plist ? std::get_if<platform::PlistDict>(&plist->value) : nullptr;
    if (dict == nullptr || !dict->contains(key))
        return std::nullopt;
    const auto* text = std::get_if<std::string>(&dict->at(key).value);
    return text ? std::optional(*text) : std::nullopt;
}

Simulator::Simulator(const std::vector<std::string>& arguments) {
    const std::string portFile = dir_.str() + "/port";
    std::vector<std::string> args{"--port-file", portFile};
    args.insert(args.end(), arguments.begin(), arguments.end());
    pid_ = spawnProcess(QV_SIM_BINARY, args, {}, dir_.str() + "/sim.out");
    if (!eventually([&] { return std::ifstream(portFile) >> port_ && port_ > 0; }, 5s))
        throw std::runtime_error("simulator did not start: " + readFile(dir_ / "sim.out"));
}

Simulator::~Simulator() {
    if (pid_ > 0)
        terminateAndReap(pid_);
}

std::string Simulator::call(const std::string& path, const std::string* body) const {
    std::string command = "curl -sf --noproxy '*' --max-time 10 ";
    if (body != nullptr) {
        writeFile(dir_ / "body.json", *body);
        command +=
            "-H 'Content-Type: application/json' --data-binary @'" + dir_.str() + "/body.json' ";
    }
    FILE* pipe = ::popen((command + "'" + baseUrl() + path + "'").c_str(), "r");
    std::string answer;
    char buffer[65536];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        answer.append(buffer, n);
    if (pipe == nullptr || ::pclose(pipe) != 0)
        throw std::runtime_error("simulator unreachable or refused " + path);
    return answer;
}

nlohmann::json Simulator::adminGet(const std::string& path) const {
    return nlohmann::json::parse(call(path, nullptr));
}

void Simulator::adminPost(const std::string& path, const nlohmann::json& body) {
    const std::string text = body.dump();
    call(path, &text);
}

std::optional<std::string> headerOf(const nlohmann::json& request, const std::string& name) {
    for (const auto& header : request["headers"]) {
        if (header[0] == name)
            return header[1].get<std::string>();
    }
    return std::nullopt;
}

std::vector<nlohmann::json> Simulator::requestsTo(const std::string& method,
                                                  const std::string& path) const {
    std::vector<nlohmann::json> matching;
    for (const auto& request : requests()) {
        if (request["method"] == method && request["path"] == path)
            matching.push_back(request);
    }
    return matching;
}

bool Simulator::waitForRequest(const std::string& method, const std::string& path,
                               std::chrono::milliseconds timeout, std::size_t count) const {
    return eventually([&] { return requestsTo(method, path).size() >= count; }, timeout);
}

}  // namespace qvtest
