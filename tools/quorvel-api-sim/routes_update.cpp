// Agent self-update: update requests with their status history, the package
// download, and the acknowledgement of pending actions.
//
//   state["agentUpdates"][agentUpdateId] (all optional) = {
//       "targetVersion": "2.0.0",
//       "package": "<the package's bytes>",
//       "packageFile": "<path>",                 // served from this file instead, streamed
//       "payloadDigest": "wrong" | "uppercase",  // answered instead of the true digest
//       "cutDownload": true,                     // the connection closes half-way
//       "payloadBaseUrl": "http://localhost:N"}  // the package's origin (default: ours)
//   state["agentUpdateRequests"][agentUpdateId] = {"id", "currentVersion", "targetVersion",
//       "statuses": [{"status", "errorMessage"?}, ...]}
//   state["completedPendingActions"] = ["updateAgent", ...]; the first pending action of
//   that type leaves state["pendingActions"]
//   state["closeFailedUpdates"] = true: a "failed", "downloadFailed" or "verificationFailed"
//   status also takes that update out of state["pendingActions"], as a server that
//   closes a failed request does (by default it stays listed, and is tried again)
//
// The package is served at GET /packages/<agentUpdateId>.pkg.

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim.h"

namespace {

std::string toHex(const unsigned char* digest, unsigned int length) {
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return toHex(digest, length);
}

// The file's digest, read in chunks, so a package of gigabytes is never held whole.
std::string sha256HexOfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 16);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(in.gcount()));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    return toHex(digest, length);
}

// The update's settings; call with sim.mutex held.
sim::Json updateSettings(sim::Sim& sim, const std::string& agentUpdateId) {
    const auto& updates = sim.state["agentUpdates"];
    if (updates.is_object() && updates.contains(agentUpdateId) &&
        updates[agentUpdateId].is_object())
        return updates[agentUpdateId];
    return sim::Json::object();
}

std::string packageFileOf(const sim::Json& settings) {
    if (settings.contains("packageFile") && settings["packageFile"].is_string())
        return settings["packageFile"].get<std::string>();
    return "";
}

std::string packageOf(const sim::Json& settings, const std::string& agentUpdateId) {
    if (settings.contains("package") && settings["package"].is_string())
        return settings["package"].get<std::string>();
    return "Quorvel agent package for update " + agentUpdateId + "\n";
}

bool hasToken(const httplib::Request& req) {
    return !req.get_header_value("Authorization").empty();
}

// Answers the file's bytes in chunks of 256 KiB as the connection takes them.
void streamFile(httplib::Response& res, const std::string& path) {
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary | std::ios::ate);
    if (!*file)
        return sim::jsonReply(res, 404, {{"error", "package file missing"}});
    const auto size = static_cast<std::size_t>(file->tellg());
    res.set_content_provider(
        size, "application/octet-stream",
        [file, buffer = std::make_shared<std::vector<char>>(256 * 1024)](
            size_t offset, size_t length, httplib::DataSink& sink) {
            file->seekg(static_cast<std::streamoff>(offset));
            file->read(buffer->data(),
                       static_cast<std::streamsize>(std::min(length, buffer->size())));
            const auto got = file->gcount();
            return got > 0 && sink.write(buffer->data(), static_cast<std::size_t>(got));
        });
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

// Whether the server closes a request with this status; call with sim.mutex held.
bool closesTheRequest(sim::Sim& sim, const std::string& status) {
    return sim.state.value("closeFailedUpdates", false) &&
           (status == "failed" || status == "downloadFailed" || status == "verificationFailed");
}

// Takes the "updateAgent" actions for that update out of the pending actions;
// call with sim.mutex held.
void withdrawUpdate(sim::Sim& sim, const std::string& agentUpdateId) {
    auto& pending = sim.state["pendingActions"];
    if (!pending.is_array())
        return;
    for (auto it = pending.begin(); it != pending.end();) {
        const bool match = it->is_object() && it->value("type", "") == "updateAgent" &&
                           it->value("value", "") == agentUpdateId;
        it = match ? pending.erase(it) : it + 1;
    }
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
            const std::string packageFile = packageFileOf(settings);
            std::string digest =
                packageFile.empty() ? sha256Hex(package) : sha256HexOfFile(packageFile);
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
                            {"payloadUrl", settings.value("payloadBaseUrl", sim.baseUrl()) +
                                               "/packages/" + id + ".pkg"},
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
                        if (closesTheRequest(sim, body["status"]))
                            withdrawUpdate(sim, req.matches[1]);
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
        std::string packageFile;
        bool cut = false;
        {
            std::lock_guard lock(sim.mutex);
            const auto settings = updateSettings(sim, id);
            package = packageOf(settings, id);
            packageFile = packageFileOf(settings);
            cut = settings.value("cutDownload", false);
        }
        if (!packageFile.empty())
            return streamFile(res, packageFile);
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
