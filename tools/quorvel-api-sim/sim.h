#pragma once
// The local Quorvel API simulator: cpp-httplib on loopback. Every request is
// recorded (one JSON line each); faults injected through the admin endpoint or
// --fault make a route answer an error status or misbehave (drop or reset the
// connection, stall, trickle, send an oversized or absurdly nested answer) for
// a number of calls. Route files register themselves with QV_SIM_ROUTES.

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Json = nlohmann::ordered_json;

struct Fault {
    std::string method;              // "POST", or "*" for any
    std::string path;                // exact, or a prefix when it ends in "*"
    std::string kind;                // empty: answer `status`; else one of kFaultKinds
    int status = 500;                // answered status (ignored by the kinds)
    Json body = Json::object();      // JSON body answered with the status
    std::optional<std::string> raw;  // answered verbatim instead of `body`; a redirect's target
    int count = 1;                   // calls affected; -1 for every call
};

// What each kind does instead of answering (see answerFault):
//   drop       promise a body, close the connection before sending it
//   cut        promise 64 KiB, send half, close the connection
//   reset      the same, ending with a TCP reset
//   hang       accept the request and never answer (the connection is held)
//   trickle    a 200 JSON answer, four bytes a second
//   huge       a 200 answer of 100 MiB
//   deep       a 200 JSON answer nested 100,000 arrays deep
//   bigheader  a 200 answer with a 1 MiB header line
//   redirect   a 302 to the fault's `raw` text
inline constexpr const char* kFaultKinds[] = {"drop", "cut",  "reset",     "hang",    "trickle",
                                              "huge", "deep", "bigheader", "redirect"};

// The HTTP server, or the HTTPS one when a certificate and key (PEM files)
// are given, and how to widen its listening backlog once bound: httplib
// listens with a backlog of 5, a burst of connections overflows it and the
// kernel drops SYNs, which clients retry only after a second.
struct Listener {
    std::unique_ptr<httplib::Server> server;
    std::function<void()> widenBacklog;
};
Listener makeListener(const std::string& certificate, const std::string& key);

class Sim {
    Listener listener_;  // before `server`, which refers to it

  public:
    explicit Sim(const std::string& certificate = "", const std::string& key = "")
        : listener_(makeListener(certificate, key)), tls(!certificate.empty()) {}
    httplib::Server& server = *listener_.server;
    const bool tls;
    void widenBacklog() { listener_.widenBacklog(); }

    // Guards `state` and everything the route files keep.
    std::mutex mutex;
    // Free-form state the route files and the admin endpoint share, e.g.
    // state["configuration"] for the configuration answer.
    Json state = Json::object();

    std::string baseUrl() const {
        return (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port);
    }
    int port = 0;
    std::string recordPath;

    void addFault(Fault fault);
    // The fault that applies to this request (consuming one call), if any.
    bool takeFault(const httplib::Request& request, Fault& out);
    void record(const httplib::Request& request);
    Json recorded();
    // The faults still armed, each with the calls it has left; and dropping them all.
    Json armedFaults();
    void clearFaults();

  private:
    std::vector<Fault> faults_;
    Json requests_ = Json::array();
};

// Parses "METHOD PATH STATUS [COUNT]", "METHOD PATH KIND [COUNT]" or
// "METHOD PATH redirect TARGET [COUNT]".
bool parseFault(const std::string& text, Fault& out);
// Parses the admin endpoint's JSON form; false for an unknown kind.
bool faultFromJson(const Json& json, Fault& out);
// Answers `request` as the fault says; may block (hang).
void answerFault(const Fault& fault, const httplib::Request& request, httplib::Response& response);

void jsonReply(httplib::Response& response, int status, const Json& body);

using RouteInstaller = void (*)(Sim&);
std::vector<RouteInstaller>& routeInstallers();
struct RouteRegistrar {
    explicit RouteRegistrar(RouteInstaller installer) { routeInstallers().push_back(installer); }
};

}  // namespace sim

#define QV_SIM_ROUTES(name)                               \
    static void name(::sim::Sim& sim);                    \
    static ::sim::RouteRegistrar name##_registrar(&name); \
    static void name(::sim::Sim& sim)
