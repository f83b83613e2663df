// Enrollment: registration issues an identifier and remembers the installer
// fields; login answers a known identifier with a bearer token in the
// "authorization" header.
//
//   state["computers"][id] = {"licenseKey", "companyName", "locationName",
//                             "machineId", "logins", "token"}
//
// A test can enroll a computer beforehand through POST /_admin/state with
// {"computers": {"<id>": {}}}, or choose the identifier the next registration
// gets with {"nextComputerId": "<id>"}.

#include <string>

#include "sim.h"

namespace {

sim::Json fieldOf(const sim::Json& body, const char* key) {
    return body.is_object() && body.contains(key) ? body[key] : sim::Json(nullptr);
}

}  // namespace

QV_SIM_ROUTES(installEnrollmentRoutes) {
    sim.server.Post("/computers/mac", [&sim](const httplib::Request& req, httplib::Response& res) {
        auto body = sim::Json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return sim::jsonReply(res, 400, {{"error", "Body is not a JSON object"}});
        std::lock_guard lock(sim.mutex);
        const auto chosen = sim.state.value("nextComputerId", sim::Json());
        sim.state.erase("nextComputerId");  // before a reference into the state is taken
        auto& computers = sim.state["computers"];
        if (!computers.is_object())
            computers = sim::Json::object();
        std::size_t number = computers.size() + 1;
        while (computers.contains("cmp-" + std::to_string(number)))
            ++number;
        const std::string id =
            chosen.is_string() ? chosen.get<std::string>() : "cmp-" + std::to_string(number);
        computers[id] = {{"licenseKey", fieldOf(body, "licenseKey")},
                         {"companyName", fieldOf(body, "companyName")},
                         {"locationName", fieldOf(body, "locationName")},
                         {"machineId", fieldOf(body, "machineId")},
                         {"logins", 0}};
        sim::jsonReply(res, 200, {{"id", id}});
    });

    sim.server.Post(
        R"(/computers/([^/]+)/login)", [&sim](const httplib::Request& req, httplib::Response& res) {
            const std::string id = req.matches[1];
            std::lock_guard lock(sim.mutex);
            auto& computers = sim.state["computers"];
            if (!computers.is_object() || !computers.contains(id)) {
                return sim::jsonReply(res, 404, {{"error", "Computer not found"}, {"id", id}});
            }
            auto& computer = computers[id];
            if (!computer.is_object())
                computer = sim::Json::object();
            const int logins = computer.value("logins", 0) + 1;
            const std::string token = "Bearer tok-" + id + "-" + std::to_string(logins);
            computer["logins"] = logins;
            computer["token"] = token;
            res.set_header("authorization", token);  // in lower case, as HTTP/2 servers send it
            sim::jsonReply(res, 200, {{"ok", true}});
        });
}
