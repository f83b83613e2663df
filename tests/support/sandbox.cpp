#include "support/sandbox.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/plist.h"
#include "support/checks.h"
#include "support/system_roots.h"

extern char** environ;

namespace qvtest {
namespace fs = std::filesystem;

pid_t spawnProcess(const std::string& executable, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment,
                   const std::string& outputFile) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : environment)
        env[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{executable};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + executable + ": " + std::strerror(rc));
    return pid;
}

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

int terminateAndReap(pid_t pid, int signal = SIGTERM) {
    ::kill(pid, signal);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return status;
        std::this_thread::sleep_for(50ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return status;
}

}  // namespace

Sandbox::Sandbox() : root_(dir_.str()) {
    fs::create_directories(root_ + "/tmp");
}

Sandbox::~Sandbox() {
    if (daemon_ > 0)
        stopDaemon();
}

std::string Sandbox::path(const std::string& absolutePath) const {
    return root_ + absolutePath;
}

void Sandbox::writeFile(const std::string& absolutePath, const std::string& content,
                        unsigned mode) {
    qvtest::writeFile(path(absolutePath), content);
    ::chmod(path(absolutePath).c_str(), mode);
}

std::string Sandbox::readFile(const std::string& absolutePath) const {
    return slurp(path(absolutePath));
}

bool Sandbox::exists(const std::string& absolutePath) const {
    struct stat st {};
    return ::lstat(path(absolutePath).c_str(), &st) == 0;
}

void Sandbox::installShim(const std::string& shimName, const std::string& absolutePath) {
    installStandIn(root_, shimName, absolutePath);
}

void Sandbox::setShimAnswer(const std::string& name, const std::string& output) {
    qvtest::writeFile(root_ + "/.shim/" + name, output);
}

void Sandbox::setShimExit(const std::string& name, int status) {
    qvtest::writeFile(root_ + "/.shim/" + name + ".exit", std::to_string(status));
}

std::vector<std::string> Sandbox::shimCalls() const {
    std::vector<std::string> calls;
    std::istringstream in(slurp(root_ + "/.shim/calls.log"));
    for (std::string line; std::getline(in, line);)
        calls.push_back(line);
    return calls;
}

std::map<std::string, std::string> Sandbox::daemonEnvironment(const std::string& apiBaseUrl) const {
    return {
        {"QV_ROOT", root_},
        {"QV_API_BASE_URL", apiBaseUrl},
        {"PATH", std::string(QV_SHIMS_DIR) + ":" +
                     (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")},
    };
}

void Sandbox::startDaemon(const std::string& apiBaseUrl,
                          const std::map<std::string, std::string>& extraEnvironment) {
    auto env = daemonEnvironment(apiBaseUrl);
    for (const auto& [k, v] : extraEnvironment)
        env[k] = v;
    daemon_ = spawnProcess(QV_DAEMON_BINARY, {}, env, root_ + "/daemon.out");
}

int Sandbox::stopDaemon(int signal) {
    if (daemon_ <= 0)
        return -1;
    int status = terminateAndReap(daemon_, signal);
    daemon_ = -1;
    return status;
}

bool Sandbox::daemonRunning() {
    if (daemon_ <= 0)
        return false;
    int status = 0;
    if (::waitpid(daemon_, &status, WNOHANG) == daemon_) {
        daemon_ = -1;
        return false;
    }
    return true;
}

std::size_t Sandbox::peakResidentBytes() const {
    std::istringstream status(daemon_ > 0 ? slurp("/proc/" + std::to_string(daemon_) + "/status")
                                          : std::string());
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return std::stoul(line.substr(6)) * 1024;  // "VmHWM:   12345 kB"
    }
    return 0;
}

std::string Sandbox::textLog() const {
    return slurp(path("/Library/Application Support/Tessaly/Quorvel/logs/TotalLog.log"));
}

std::vector<std::string> entriesOf(const std::string& log) {
    std::istringstream in(log);
    std::vector<std::string> entries;
    for (std::string line; std::getline(in, line);)
        entries.push_back(line.substr(std::min(line.size(), line.find(' ') + 1)));
    return entries;
}

std::string Sandbox::daemonOutput() const {
    return slurp(root_ + "/daemon.out");
}

bool Sandbox::waitForLog(const std::string& text, std::chrono::milliseconds timeout,
                         int occurrences) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (countOf(textLog(), text) >= occurrences)
            return true;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

int Sandbox::countInLog(const std::string& text) const {
    return countOf(textLog(), text);
}

void Sandbox::storeComputerId(const std::string& computerId) {
    const auto prefs = path("/Library/Preferences/com.tessaly.Quorvel.plist");
    fs::create_directories(fs::path(prefs).parent_path());
    platform::writePlistFile(prefs, {platform::PlistDict{{"computerId", {computerId}}}}, 0644);
}

std::optional<std::string> Sandbox::preference(const std::string& key,
                                               const std::string& domain) const {
    auto bytes = slurp(path("/Library/Preferences/" + domain + ".plist"));
    auto plist = platform::plistFromBytes(bytes);
    if (!plist)
        return std::nullopt;
    auto* dict = std::get_if<platform::PlistDict>(&plist->value);
    if (dict == nullptr)
        return std::nullopt;
    auto it = dict->find(key);
    if (it == dict->end())
        return std::nullopt;
    auto* text = std::get_if<std::string>(&it->second.value);
    if (text == nullptr)
        return std::nullopt;
    return *text;
}

Simulator::Simulator(const std::vector<std::string>& arguments) {
    const std::string portFile = dir_.str() + "/port";
    std::vector<std::string> args{"--port-file", portFile};
    args.insert(args.end(), arguments.begin(), arguments.end());
    pid_ = spawnProcess(QV_SIM_BINARY, args, {}, dir_.str() + "/sim.out");
    for (int i = 0; i < 200 && port_ == 0; ++i) {
        std::ifstream in(portFile);
        int port = 0;
        if (in >> port)
            port_ = port;
        if (port_ == 0)
            std::this_thread::sleep_for(25ms);
    }
    if (port_ == 0)
        throw std::runtime_error("simulator did not start: " + slurp(dir_.str() + "/sim.out"));
}

Simulator::~Simulator() {
    if (pid_ > 0)
        terminateAndReap(pid_);
}

nlohmann::json Simulator::adminGet(const std::string& path) const {
    httplib::Client client("127.0.0.1", port_);
    auto res = client.Get(path.c_str());
    if (!res)
        throw std::runtime_error("simulator unreachable");
    return nlohmann::json::parse(res->body);
}

void Simulator::adminPost(const std::string& path, const nlohmann::json& body) {
    httplib::Client client("127.0.0.1", port_);
    auto res = client.Post(path.c_str(), body.dump(), "application/json");
    if (!res || res->status != 200)
        throw std::runtime_error("simulator refused " + path);
}

nlohmann::json Simulator::requests() const {
    return adminGet("/_admin/requests");
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
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (requestsTo(method, path).size() >= count)
            return true;
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

void Simulator::addFault(const nlohmann::json& fault) {
    adminPost("/_admin/faults", fault);
}
void Simulator::setState(const nlohmann::json& state) {
    adminPost("/_admin/state", state);
}
nlohmann::json Simulator::state() const {
    return adminGet("/_admin/state");
}

}  // namespace qvtest
