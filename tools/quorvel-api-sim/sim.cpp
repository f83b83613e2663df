#include "sim.h"

#include <fstream>
#include <sstream>

namespace sim {

std::vector<RouteInstaller>& routeInstallers() {
    static std::vector<RouteInstaller> installers;
    return installers;
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
    Json headers = Json::array();
    for (const auto& [name, value] : request.headers) {
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
            name == "LOCAL_PORT") {
            continue;
        }
        headers.push_back({name, value});
    }
    Json entry = {{"method", request.method},
                  {"path", request.path},
                  {"headers", headers},
                  {"body", request.body}};
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

bool parseFault(const std::string& text, Fault& out) {
    std::istringstream in(text);
    std::string status;
    if (!(in >> out.method >> out.path >> status))
        return false;
    if (status == "drop") {
        out.drop = true;
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

Fault faultFromJson(const Json& json) {
    Fault fault;
    fault.method = json.value("method", "*");
    fault.path = json.value("path", "*");
    fault.status = json.value("status", 500);
    fault.drop = json.value("drop", false);
    fault.count = json.value("count", 1);
    fault.body = json.contains("body") ? json["body"] : Json{{"error", "Injected failure"}};
    return fault;
}

void jsonReply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

}  // namespace sim
