// Agent self-update: update requests with their status history, the package
// download, and the acknowledgement of pending actions.
//
//   state["agentUpdates"][agentUpdateId] (all optional) = {
//       "targetVersion": "2.0.0",
//       "package": "<the package's bytes>",
//       "payloadDigest": "wrong" | "uppercase",  // answered instead of the true digest
//       "cutDownload": true}                     // the connection closes half-way
//   state["agentUpdateRequests"][agentUpdateId] = {"id", "currentVersion", "targetVersion",
//       "statuses": [{"status", "errorMessage"?}, ...]}
//   state["completedPendingActions"] = ["updateAgent", ...]; the first pending action of
//   that type leaves state["pendingActions"]
//
// The package is served at GET /packages/<agentUpdateId>.pkg.

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "sim.h"

namespace {

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// The update's settings; call with sim.mutex held.
sim::Json updateSettings(sim::Sim& sim, const std::string& agentUpdateId) {
    const auto& updates = sim.state["agentUpdates"];
    if (updates.is_object() && updates.contains(agentUpdateId) &&
        updates[agentUpdateId].is_object())
        return updates[agentUpdateId];
    return sim::Json::object();
}

std::string packageOf(const sim::Json& settings, const std::string& agentUpdateId) {
    if (settings.contains("package") && settings["package"].is_string())
        return settings["package"].get<std::string>();
    return "Quorvel agent package for update " + agentUpdateId + "\n";
}

bool hasToken(const httplib::Request& req) {
    return !req.get_header_value("Authorization").empty();
}

// The record of a request; call with sim.mutex held.
sim::Json& requestRecord(sim::Sim& sim, const std::string& agentUpdateId) {
    auto& requests = sim.state["agentUpdateRequests"];
    if (!requests.is_object())
        requests = sim::Json::object();
    auto& record = requests[agentUpdateId];
    if (!record.is_object())
        record = sim::Json::object();
    if (!record["statuses"].is_array())
        record["statuses"] = sim::Json::array();
    return record;
}

}  // namespace

QV_SIM_ROUTES(installUpdateRoutes) {
    sim.server.Post(
        "/agentUpdateRequests", [&sim](const httplib::Request& req, httplib::Response& res) {
            if (!hasToken(req))
                return sim::jsonReply(res, 401, {{"error", "Not authorized"}});
            auto body = sim::Json::parse(req.body, nullptr, false);
            if (body.is_discarded() || !body.is_object() || !body.contains("agentUpdateId") ||
                !body["agentUpdateId"].is_string() || !body.contains("currentVersion") ||
                !body["currentVersion"].is_string())
                return sim::jsonReply(res, 400,
                                      {{"error", "agentUpdateId and currentVersion required"}});
            const std::string id = body["agentUpdateId"];
            std::lock_guard lock(sim.mutex);
            const auto settings = updateSettings(sim, id);
            const std::string package = packageOf(settings, id);
            std::string digest = sha256Hex(package);
            const std::string digestMode = settings.value("payloadDigest", "");
            if (digestMode == "wrong") {
                digest = sha256Hex(package + "tampered");
            } else if (digestMode == "uppercase") {
                std::transform(digest.begin(), digest.end(), digest.begin(),
                               [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            }
            auto& record = requestRecord(sim, id);
            const std::string requestId =
                "aur-" + std::to_string(sim.state["agentUpdateRequests"].size());
            record["id"] = requestId;
            record["currentVersion"] = body["currentVersion"];
            record["targetVersion"] = settings.value("targetVersion", "2.0.0");
            sim::jsonReply(res, 200,
                           {{"id", requestId},
                            {"targetVersion", record["targetVersion"]},
                            {"payloadUrl", sim.baseUrl() + "/packages/" + id + ".pkg"},
                            {"payloadSha256", digest}});
        });

    sim.server.Post(R"(/agentUpdateRequests/([^/]+)/status)",
                    [&sim](const httplib::Request& req, httplib::Response& res) {
                        if (!hasToken(req))
                            return sim::jsonReply(res, 401, {{"error", "Not authorized"}});
                        auto body = sim::Json::parse(req.body, nullptr, false);
                        if (body.is_discarded() || !body.is_object() || !body.contains("status") ||
                            !body["status"].is_string())
                            return sim::jsonReply(res, 400, {{"error", "status required"}});
                        std::lock_guard lock(sim.mutex);
                        requestRecord(sim, req.matches[1])["statuses"].push_back(body);
                        sim::jsonReply(res, 200, {{"ok", true}});
                    });

    sim.server.Post("/computers/pendingActions/completed", [&sim](const httplib::Request& req,
                                                                  httplib::Response& res) {
        if (!hasToken(req))
            return sim::jsonReply(res, 401, {{"error", "Not authorized"}});
        auto body = sim::Json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("actionType") ||
            !body["actionType"].is_string())
            return sim::jsonReply(res, 400, {{"error", "actionType required"}});
        std::lock_guard lock(sim.mutex);
        auto& completed = sim.state["completedPendingActions"];
        if (!completed.is_array())
            completed = sim::Json::array();
        completed.push_back(body["actionType"]);
        // A completed action leaves the configuration's list.
        auto& pending = sim.state["pendingActions"];
        if (pending.is_array()) {
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (it->is_object() && it->value("type", "") == body["actionType"]) {
                    pending.erase(it);
                    break;
                }
            }
        }
        sim::jsonReply(res, 200, {{"ok", true}});
    });

    sim.server.Get(R"(/packages/([^/]+)\.pkg)", [&sim](const httplib::Request& req,
                                                       httplib::Response& res) {
        const std::string id = req.matches[1];
        std::string package;
        bool cut = false;
        {
            std::lock_guard lock(sim.mutex);
            const auto settings = updateSettings(sim, id);
            package = packageOf(settings, id);
            cut = settings.value("cutDownload", false);
        }
        if (!cut) {
            res.set_content(package, "application/octet-stream");
            return;
        }
        // Promise the whole package, send half of it and close the connection.
        const std::size_t half = package.size() / 2;
        res.set_content_provider(package.size(), "application/octet-stream",
                                 [package, half](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset >= half)
                                         return false;
                                     sink.write(package.data() + offset, half - offset);
                                     return true;
                                 });
    });
}
