#pragma once
// End-to-end fixtures: a sandbox system root with the macOS stand-ins first on
// PATH, the real daemon binary running in it, and the API simulator.
//
//   qvtest::Simulator api;                 // started, port read back
//   qvtest::Sandbox box;                   // fresh root
//   box.writeFile("/tmp/qvconfig", "KEY\\nACME\\nHQ");
//   box.startDaemon(api.baseUrl());
//   ASSERT_TRUE(box.waitForLog("Authorization token is set."));
//   auto requests = api.requests();        // everything that crossed the wire
//
// The stand-ins (tests/shims/_shimlib.sh) log their command lines to
// "/.shim/calls.log" in the root and take a canned output from "/.shim/<name>",
// an exit status from "/.shim/<name>.exit": a test writes those with writeFile.

#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/checks.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace qvtest {

using namespace std::chrono_literals;

// The daemon's peak memory stays below this whatever it is answered. A sanitized daemon
// carries shadow memory and a quarantine of freed blocks, so the bound that
// matters is checked by the plain build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kMemoryBound = std::size_t(1) << 40;
#else
constexpr std::size_t kMemoryBound = std::size_t(64) << 20;
#endif

// The product folder, as an absolute path on the Mac.
inline const std::string kProduct = "/Library/Application Support/Tessaly/Quorvel";

// Starts `executable` with `arguments` and the given environment (added to
// this process's), stdout and stderr appended to `outputFile`.
pid_t spawnProcess(const std::string& executable, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment,
                   const std::string& outputFile);

// The unprivileged user and group the tests (run as root) act as: "nobody" on
// Linux; on macOS any number names a user the files can belong to.
constexpr unsigned kNobody = 65534;
// Starts `command` (an absolute executable and its arguments) as kNobody, with
// no supplementary groups, stdout and stderr appended to `outputFile`.
pid_t spawnAsNobody(const std::vector<std::string>& command, const std::string& outputFile);

class Sandbox {
  public:
    Sandbox();
    ~Sandbox() { stopDaemon(); }  // if the daemon still runs

    const std::string& root() const { return root_; }
    // "<root><absolutePath>"
    std::string path(const std::string& absolutePath) const { return root_ + absolutePath; }
    void writeFile(const std::string& absolutePath, const std::string& content,
                   unsigned mode = 0644);
    std::string readFile(const std::string& absolutePath) const {
        return qvtest::readFile(path(absolutePath));
    }
    bool exists(const std::string& absolutePath) const {
        return std::filesystem::exists(std::filesystem::symlink_status(path(absolutePath)));
    }

    // Stand-in tools from tests/shims placed inside the root, e.g.
    // installShim("installer", "/usr/sbin/installer").
    void installShim(const std::string& shimName, const std::string& absolutePath) {
        installStandIn(root_, shimName, absolutePath);
    }
    // Command lines the stand-ins ran, in order.
    std::vector<std::string> shimCalls() const { return linesOf(readFile("/.shim/calls.log")); }

    // Runs the daemon with QV_ROOT, QV_API_BASE_URL=`apiBaseUrl` and the stand-ins
    // first on PATH; `extraEnvironment` is added. A `launcher` (e.g. /bin/sh -c
    // with a command that ends in exec "$0") runs the daemon in its own place.
    void startDaemon(const std::string& apiBaseUrl,
                     const std::map<std::string, std::string>& extraEnvironment = {},
                     std::vector<std::string> launcher = {});
    // The environment startDaemon gives the daemon.
    std::map<std::string, std::string> daemonEnvironment(
        const std::string& apiBaseUrl, std::map<std::string, std::string> extra = {}) const;
    // `signal` (SIGKILL after 5 s) and reap; returns the wait status.
    int stopDaemon(int signal = SIGTERM);
    bool daemonRunning();
    // The running daemon's peak resident memory (VmHWM) in bytes, its resident
    // memory now off Linux; 0 without one.
    std::size_t peakResidentBytes() const;

    // The text log (TotalLog.log) and the daemon's stdout.
    std::string textLog() const { return readFile(kProduct + "/logs/TotalLog.log"); }
    std::string daemonOutput() const { return readFile("/daemon.out"); }
    // Waits until the text log holds `text` `occurrences` times.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 15s,
                    int occurrences = 1) const;
    int countInLog(const std::string& text) const { return countOf(textLog(), text); }

    // The product's preferences value for `key`, when it is a string.
    std::optional<std::string> preference(const std::string& key) const;

  private:
    TempDir dir_;
    std::string root_;
    pid_t daemon_ = -1;
};

// The first header of a recorded request (Simulator::requests) named `name`.
std::optional<std::string> headerOf(const nlohmann::json& request, const std::string& name);

class Simulator {
  public:
    explicit Simulator(const std::vector<std::string>& arguments = {});
    ~Simulator();

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // GET /_admin/requests: every request recorded, in order.
    nlohmann::json requests() const { return adminGet("/_admin/requests"); }
    // Requests whose method and path match exactly.
    std::vector<nlohmann::json> requestsTo(const std::string& method,
                                           const std::string& path) const;
    bool waitForRequest(const std::string& method, const std::string& path,
                        std::chrono::milliseconds timeout = 15s, std::size_t count = 1) const;
    // POST /_admin/faults and /_admin/state, GET /_admin/state.
    void addFault(const nlohmann::json& fault) { adminPost("/_admin/faults", fault); }
    void setState(const nlohmann::json& state) { adminPost("/_admin/state", state); }
    nlohmann::json state() const { return adminGet("/_admin/state"); }

  private:
    // The body of the answer to GET `path`, or to a POST of `body` (curl).
    std::string call(const std::string& path, const std::string* body) const;
    nlohmann::json adminGet(const std::string& path) const;
    void adminPost(const std::string& path, const nlohmann::json& body);

    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace qvtest
