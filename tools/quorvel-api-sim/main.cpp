// quorvel-api-sim: a local stand-in for the Quorvel API, for the demo and the
// end-to-end tests.
//
//   quorvel-api-sim [--port N] [--port-file F] [--record F] [--fault "METHOD PATH STATUS|KIND
//   [COUNT]"]... [--configuration JSON] [--tls CERTIFICATE KEY]
//
// With --tls it serves HTTPS with that certificate and key (PEM files).
//
// KIND is one of drop, cut, reset, hang, trickle, huge, deep, bigheader, or
// "redirect TARGET" (sim.h).
//
// Admin endpoints: GET /_admin/requests (everything recorded), POST
// /_admin/faults (a fault as JSON: method, path, status, body or raw, kind,
// count), GET /_admin/faults (those still armed, with the clock of steadyNs),
// DELETE /_admin/faults (all dropped), POST /_admin/state (merged into the
// shared state), GET /_admin/state.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "sim.h"

namespace {

int usage() {
    std::cerr << "usage: quorvel-api-sim [--port N] [--port-file F] [--record F] "
                 "[--fault \"METHOD PATH STATUS|KIND [COUNT]\"]... [--configuration JSON] [--tls "
                 "CERTIFICATE KEY]\n";
    return 2;
}

void installAdminRoutes(sim::Sim& s) {
    s.server.Get("/_admin/requests", [&s](const httplib::Request&, httplib::Response& res) {
        sim::jsonReply(res, 200, s.recorded());
    });
    s.server.Post("/_admin/faults", [&s](const httplib::Request& req, httplib::Response& res) {
        auto json = sim::Json::parse(req.body, nullptr, false);
        sim::Fault fault;
        if (json.is_discarded() || !json.is_object() || !sim::faultFromJson(json, fault))
            return sim::jsonReply(res, 400, {{"error", "bad fault"}});
        s.addFault(fault);
        sim::jsonReply(res, 200, {{"ok", true}});
    });
    // The faults still armed, and the monotonic clock of the recorded steadyNs, so a
    // caller can tell when a fault's last call was taken (a hang is recorded only
    // once it ends).
    s.server.Get("/_admin/faults", [&s](const httplib::Request&, httplib::Response& res) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        sim::jsonReply(
            res, 200,
            {{"steadyNs", std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()},
             {"faults", s.armedFaults()}});
    });
    s.server.Delete("/_admin/faults", [&s](const httplib::Request&, httplib::Response& res) {
        s.clearFaults();
        sim::jsonReply(res, 200, {{"ok", true}});
    });
    s.server.Post("/_admin/state", [&s](const httplib::Request& req, httplib::Response& res) {
        auto json = sim::Json::parse(req.body, nullptr, false);
        if (json.is_discarded() || !json.is_object())
            return sim::jsonReply(res, 400, {{"error", "bad state"}});
        std::lock_guard lock(s.mutex);
        for (auto& [key, value] : json.items())
            s.state[key] = value;
        sim::jsonReply(res, 200, s.state);
    });
    s.server.Get("/_admin/state", [&s](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(s.mutex);
        sim::jsonReply(res, 200, s.state);
    });
}

}  // namespace

int main(int argc, char** argv) {
    // The server is made first, so whether it speaks TLS is read first.
    std::string certificate, key;
    for (int i = 1; i + 2 < argc; ++i) {
        if (std::strcmp(argv[i], "--tls") == 0)
            certificate = argv[i + 1], key = argv[i + 2];
    }
    sim::Sim s(certificate, key);
    if (!s.server.is_valid()) {
        std::cerr << "quorvel-api-sim: unusable certificate or key\n";
        return 1;
    }
    int port = 0;
    std::string portFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--port") {
            const char* v = next();
            if (v == nullptr)
                return usage();
            port = std::atoi(v);
        } else if (arg == "--port-file") {
            const char* v = next();
            if (v == nullptr)
                return usage();
            portFile = v;
        } else if (arg == "--record") {
            const char* v = next();
            if (v == nullptr)
                return usage();
            s.recordPath = v;
        } else if (arg == "--fault") {
            const char* v = next();
            sim::Fault fault;
            if (v == nullptr || !sim::parseFault(v, fault))
                return usage();
            s.addFault(fault);
        } else if (arg == "--tls") {
            if (next() == nullptr || next() == nullptr)
                return usage();
        } else if (arg == "--configuration") {
            // Overrides of the configuration answer (routes_configuration.cpp).
            const char* v = next();
            if (v == nullptr)
                return usage();
            auto overrides = sim::Json::parse(v, nullptr, false);
            if (overrides.is_discarded() || !overrides.is_object())
                return usage();
            s.state["configuration"] = overrides;
        } else {
            return usage();
        }
    }

    s.server.set_pre_routing_handler([&s](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/_admin/", 0) == 0)
            return httplib::Server::HandlerResponse::Unhandled;
        sim::Fault fault;
        if (!s.takeFault(req, fault))
            return httplib::Server::HandlerResponse::Unhandled;
        sim::answerFault(fault, req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
    // Recorded once answered: the body is read only after pre-routing, so a
    // request a fault answered is recorded without its body.
    s.server.set_post_routing_handler([&s](const httplib::Request& req, httplib::Response&) {
        if (req.path.rfind("/_admin/", 0) != 0)
            s.record(req);
    });
    // A hang holds its worker for 90 s and a trickle for minutes; with 32 workers
    // (httplib's default is 8 here) a few of them never starve the other clients.
    s.server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    installAdminRoutes(s);
    for (auto installer : sim::routeInstallers())
        installer(s);

    // httplib writes an answer's headers and body in two sends; with Nagle's
    // algorithm the body waits for the client's delayed ACK of the headers,
    // about 40 ms on a reused connection. API servers send without that
    // delay. Set on the listening socket before binding, accepted ones inherit it.
    s.server.set_tcp_nodelay(true);
    if (port == 0) {
        port = s.server.bind_to_any_port("127.0.0.1");
    } else if (!s.server.bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::cerr << "quorvel-api-sim: cannot listen\n";
        return 1;
    }
    s.port = port;
    s.widenBacklog();
    if (!portFile.empty()) {
        const std::string tmp = portFile + ".tmp";
        std::ofstream(tmp) << port << "\n";
        std::rename(tmp.c_str(), portFile.c_str());
    }
    std::cout << "quorvel-api-sim listening on " << s.baseUrl() << std::endl;

    s.server.listen_after_bind();
    return 0;
}
