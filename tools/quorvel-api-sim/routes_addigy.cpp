// The MDM agent: its per-computer download link, the package behind it, and
// the link of the agent's identifier to the computer record.
//
//   state["addigy"] (all optional) = {
//       "package": "<the package's bytes>",
//       "downloadLink": "<answered instead of the served package's URL>"}
//   state["addigyLinkRequests"] = [{"agentId": "..."}, ...]  // bodies as received, in order
//
// The package is served at GET /addigy/packages/<computerId>.pkg. Either route
// fails through the usual faults, e.g. --fault "GET /addigy/computer/c1/downloadLink 404".

#include <string>

#include "sim.h"

namespace {

bool hasToken(const httplib::Request& req) {
    return !req.get_header_value("Authorization").empty();
}

// The settings; call with sim.mutex held.
sim::Json addigySettings(sim::Sim& sim) {
    const auto& settings = sim.state["addigy"];
    return settings.is_object() ? settings : sim::Json::object();
}

}  // namespace

QV_SIM_ROUTES(installAddigyRoutes) {
    sim.server.Get(R"(/addigy/computer/([^/]+)/downloadLink)", [&sim](const httplib::Request& req,
                                                                      httplib::Response& res) {
        if (!hasToken(req))
            return sim::jsonReply(res, 401, {{"error", "Not authorized"}});
        const std::string computerId = req.matches[1];
        std::lock_guard lock(sim.mutex);
        const auto settings = addigySettings(sim);
        const std::string link = settings.value(
            "downloadLink", sim.baseUrl() + "/addigy/packages/" + computerId + ".pkg");
        sim::jsonReply(res, 200, {{"downloadLink", link}});
    });

    sim.server.Get(R"(/addigy/packages/([^/]+)\.pkg)", [&sim](const httplib::Request&,
                                                              httplib::Response& res) {
        std::lock_guard lock(sim.mutex);
        const auto settings = addigySettings(sim);
        res.set_content(settings.value("package", std::string("Addigy agent package\n")),
                        "application/octet-stream");
    });

    sim.server.Post("/addigy/link-agent-id",
                    [&sim](const httplib::Request& req, httplib::Response& res) {
                        if (!hasToken(req))
                            return sim::jsonReply(res, 401, {{"error", "Not authorized"}});
                        auto body = sim::Json::parse(req.body, nullptr, false);
                        if (body.is_discarded() || !body.is_object() || !body.contains("agentId") ||
                            !body["agentId"].is_string())
                            return sim::jsonReply(res, 400, {{"error", "agentId required"}});
                        std::lock_guard lock(sim.mutex);
                        auto& links = sim.state["addigyLinkRequests"];
                        if (!links.is_array())
                            links = sim::Json::array();
                        links.push_back(body);
                        sim::jsonReply(res, 200, {{"linked", true}, {"agentId", body["agentId"]}});
                    });
}
