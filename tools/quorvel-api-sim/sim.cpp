#include "sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace sim {

std::vector<RouteInstaller>& routeInstallers() {
    static std::vector<RouteInstaller> installers;
    return installers;
}

namespace {

template <class Base>
struct Widening : Base {
    using Base::Base;
    void widenBacklog() { ::listen(this->svr_sock_, SOMAXCONN); }
};

template <class Server, class... Arguments>
Listener listenerOf(Arguments... arguments) {
    auto server = std::make_unique<Widening<Server>>(arguments...);
    auto* widening = server.get();
    return {std::move(server), [widening] { widening->widenBacklog(); }};
}

}  // namespace

Listener makeListener(const std::string& certificate, const std::string& key) {
    if (certificate.empty())
        return listenerOf<httplib::Server>();
    return listenerOf<httplib::SSLServer>(certificate.c_str(), key.c_str());
}

void Sim::addFault(Fault fault) {
    std::lock_guard lock(mutex);
    faults_.push_back(std::move(fault));
}

bool Sim::takeFault(const httplib::Request& request, Fault& out) {
    std::lock_guard lock(mutex);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        const bool methodMatches = it->method == "*" || it->method == request.method;
        const bool prefix = !it->path.empty() && it->path.back() == '*';
        const bool pathMatches = prefix ? request.path.compare(0, it->path.size() - 1, it->path, 0,
                                                               it->path.size() - 1) == 0
                                        : request.path == it->path;
        if (!methodMatches || !pathMatches)
            continue;
        out = *it;
        if (it->count > 0 && --it->count == 0)
            faults_.erase(it);
        return true;
    }
    return false;
}

void Sim::record(const httplib::Request& request) {
    // Once answered, just before the answer is sent: on the machine's monotonic
    // clock (steady_clock is CLOCK_MONOTONIC), which a benchmark compares with
    // the moment it started the client.
    const auto steadyNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    Json headers = Json::array();
    for (const auto& [name, value] : request.headers) {
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
            name == "LOCAL_PORT") {
            continue;
        }
        headers.push_back({name, value});
    }
    Json entry = {{"method", request.method}, {"path", request.path},  // decoded
                  {"target", request.target},                          // as on the request line
                  {"headers", headers},       {"body", request.body}, {"steadyNs", steadyNs}};
    std::lock_guard lock(mutex);
    requests_.push_back(entry);
    if (!recordPath.empty()) {
        std::ofstream out(recordPath, std::ios::app);
        out << entry.dump() << "\n";
    }
}

Json Sim::recorded() {
    std::lock_guard lock(mutex);
    return requests_;
}

Json Sim::armedFaults() {
    std::lock_guard lock(mutex);
    Json armed = Json::array();
    for (const auto& fault : faults_) {
        armed.push_back({{"method", fault.method},
                         {"path", fault.path},
                         {"kind", fault.kind},
                         {"status", fault.status},
                         {"count", fault.count}});
    }
    return armed;
}

void Sim::clearFaults() {
    std::lock_guard lock(mutex);
    faults_.clear();
}

namespace {

bool isFaultKind(const std::string& word) {
    return std::find_if(std::begin(kFaultKinds), std::end(kFaultKinds),
                        [&](const char* kind) { return word == kind; }) != std::end(kFaultKinds);
}

// Resets the connection from the peer's `port` (httplib does not hand out
// the socket, so it is found by its peer): on Linux, connecting a TCP socket
// to AF_UNSPEC aborts it with a RST, ahead of the FIN httplib's close sends.
void resetConnection(int port) {
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
            sockaddr unspecified{};
            unspecified.sa_family = AF_UNSPEC;
            ::connect(fd, &unspecified, sizeof unspecified);
        }
    }
}

}  // namespace

bool parseFault(const std::string& text, Fault& out) {
    std::istringstream in(text);
    std::string status;
    if (!(in >> out.method >> out.path >> status))
        return false;
    if (isFaultKind(status)) {
        out.kind = status;
        if (out.kind == "redirect") {
            std::string target;
            if (!(in >> target))
                return false;
            out.raw = target;
        }
    } else {
        try {
            out.status = std::stoi(status);
        } catch (...) {
            return false;
        }
        out.body = {{"error", "Injected failure"}, {"status", out.status}};
    }
    int count = 1;
    if (in >> count)
        out.count = count;
    return true;
}

bool faultFromJson(const Json& json, Fault& out) {
    out.method = json.value("method", "*");
    out.path = json.value("path", "*");
    out.kind = json.value("kind", json.value("drop", false) ? "drop" : "");
    out.status = json.value("status", 500);
    out.count = json.value("count", 1);
    out.body = json.contains("body") ? json["body"] : Json{{"error", "Injected failure"}};
    if (json.contains("raw") && json["raw"].is_string())
        out.raw = json["raw"].get<std::string>();
    return out.kind.empty() || isFaultKind(out.kind);
}

void answerFault(const Fault& fault, const httplib::Request& request, httplib::Response& response) {
    using Provider = std::function<bool(size_t, size_t, httplib::DataSink&)>;
    const std::string text = fault.raw ? *fault.raw : fault.body.dump();
    auto stream = [&](size_t length, Provider provider) {
        response.status = 200;
        response.set_content_provider(length, "application/json", std::move(provider));
    };
    if (fault.kind.empty()) {
        response.status = fault.status;
        // Bytes after a 204 or a 304 would be read as the next answer on the connection.
        if (fault.status != 204 && fault.status != 304)
            response.set_content(text, "application/json");
    } else if (fault.kind == "drop") {
        stream(1024, [](size_t, size_t, httplib::DataSink&) { return false; });
    } else if (fault.kind == "cut" || fault.kind == "reset") {
        const int port = request.remote_port;
        const bool reset = fault.kind == "reset";
        stream(64 * 1024, [port, reset](size_t offset, size_t, httplib::DataSink& sink) {
            static const std::string half(32 * 1024, 'x');
            if (offset == 0)
                return sink.write(half.data(), half.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the half arrives
            if (reset)
                resetConnection(port);
            return false;  // httplib closes the connection
        });
    } else if (fault.kind == "hang") {
        // Not a byte for longer than any client waits; httplib would notice a
        // closed connection only when writing to it.
        std::this_thread::sleep_for(std::chrono::seconds(90));
        stream(1024, [](size_t, size_t, httplib::DataSink&) { return false; });
    } else if (fault.kind == "trickle") {
        // The body, after enough leading blanks to take ten minutes. Four bytes
        // a second keep well above a one-byte-a-second progress limit even on
        // a loaded machine, so only a limit on the whole answer ends it.
        auto body =
            std::make_shared<std::string>(std::max<size_t>(2400, text.size()) - text.size(), ' ');
        *body += text;
        stream(body->size(), [body](size_t offset, size_t, httplib::DataSink& sink) {
            if (!sink.write(body->data() + offset, 1))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            return true;
        });
    } else if (fault.kind == "huge") {
        stream(size_t{100} << 20, [](size_t, size_t length, httplib::DataSink& sink) {
            static const std::string blanks(64 * 1024, ' ');
            return sink.write(blanks.data(), std::min(length, blanks.size()));
        });
    } else if (fault.kind == "deep") {
        response.status = 200;
        response.set_content(std::string(100000, '[') + std::string(100000, ']'),
                             "application/json");
    } else if (fault.kind == "bigheader") {
        response.status = 200;
        response.set_header("X-Padding", std::string(size_t{1} << 20, 'a'));
        response.set_content(text, "application/json");
    } else if (fault.kind == "redirect") {
        response.set_redirect(fault.raw.value_or(""), 302);
    }
}

void jsonReply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

}  // namespace sim
