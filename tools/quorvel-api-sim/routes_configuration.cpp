// Configuration and reporting: the configuration answer, the check-in and the
// computer-state report.
//
//   state["configuration"]      overrides merged (JSON merge patch) into the
//                               body of the answer's "configuration" member;
//                               set by --configuration JSON, POST
//                               /_admin/configuration or POST /_admin/state
//   state["pendingActions"]     the answer's pendingActions, on every fetch
//                               until changed (an override wins)
//   state["configurationRaw"]   when a string, answered verbatim with 200
//                               instead (e.g. to make the decode fail)
//
// The default answer carries the daemon's own defaults and a check-in URL
// pointing back at this simulator. GET /_admin/configuration shows the
// document the next fetch would get.

#include <string>

#include "sim.h"

namespace {

constexpr const char* kCheckInPath = "/computers/checkIn";

// Called with sim.mutex held.
sim::Json configurationDocument(sim::Sim& sim) {
    sim::Json body = {
        {"computerConfigurationPingIntervalOverride", 270},
        {"computerCheckInPingIntervalOverride", 3600},
        {"computerStatePingIntervalOverride", 570},
        {"globalMaxJitterOverride", 30},
        {"retryIntervalDownloadConfigurationMultiplierOverride", 270000},
        {"retryIntervalDownloadConfigurationMaxJitterOverride", 30000},
        {"retryIntervalDownloadConfigurationMaxBackoffOverride", 3600000},
        {"retryIntervalDownloadConfigurationMaxCollisionsOverride", 6},
        {"endpoints", {{"postCheckIn", {{"resourceUrl", sim.baseUrl() + kCheckInPath}}}}},
        {"pendingActions", sim.state.value("pendingActions", sim::Json::array())}};
    if (sim.state.contains("configuration") && sim.state["configuration"].is_object())
        body.merge_patch(sim.state["configuration"]);
    return {{"configuration", body}};
}

}  // namespace

QV_SIM_ROUTES(installConfigurationRoutes) {
    sim.server.Get("/computers/configuration", [&sim](const httplib::Request&,
                                                      httplib::Response& res) {
        std::lock_guard lock(sim.mutex);
        if (sim.state.contains("configurationRaw") && sim.state["configurationRaw"].is_string()) {
            res.status = 200;
            res.set_content(sim.state["configurationRaw"].get<std::string>(), "application/json");
            return;
        }
        sim::jsonReply(res, 200, configurationDocument(sim));
    });

    sim.server.Post(kCheckInPath, [&sim](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(sim.mutex);
        sim.state["checkIns"] = sim.state.value("checkIns", 0) + 1;
        res.status = 204;
    });

    sim.server.Post(
        "/computers/state", [&sim](const httplib::Request& req, httplib::Response& res) {
            auto body = sim::Json::parse(req.body, nullptr, false);
            if (body.is_discarded() || !body.is_object() || !body.contains("agentVersion"))
                return sim::jsonReply(res, 400, {{"error", "agentVersion is required"}});
            std::lock_guard lock(sim.mutex);
            sim.state["lastState"] = body;
            sim::jsonReply(res, 201, {{"ok", true}});
        });

    sim.server.Post("/_admin/configuration",
                    [&sim](const httplib::Request& req, httplib::Response& res) {
                        auto patch = sim::Json::parse(req.body, nullptr, false);
                        if (patch.is_discarded() || !patch.is_object())
                            return sim::jsonReply(res, 400, {{"error", "bad configuration"}});
                        std::lock_guard lock(sim.mutex);
                        auto& overrides = sim.state["configuration"];
                        if (!overrides.is_object())
                            overrides = sim::Json::object();
                        overrides.merge_patch(patch);
                        sim::jsonReply(res, 200, configurationDocument(sim));
                    });

    sim.server.Get("/_admin/configuration",
                   [&sim](const httplib::Request&, httplib::Response& res) {
                       std::lock_guard lock(sim.mutex);
                       sim::jsonReply(res, 200, configurationDocument(sim));
                   });
}
