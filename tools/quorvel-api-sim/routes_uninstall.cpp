// Uninstall: the MDM removal of a computer (204) and the uninstall ping.
// Both can be made to fail through the simulator's faults, e.g.
//   --fault "DELETE /addigy/computer/* 500 4"  or  --fault "POST /computers/manualUninstall drop
//   6".
//
//   state["addigyRemoved"]       = [ids deleted through DELETE /addigy/computer/<id>]
//   state["manualUninstalls"]    = number of pings received

#include <string>

#include "sim.h"

QV_SIM_ROUTES(installUninstallRoutes) {
    sim.server.Delete(R"(/addigy/computer/([^/]+))",
                      [&sim](const httplib::Request& req, httplib::Response& res) {
                          std::lock_guard lock(sim.mutex);
                          auto& removed = sim.state["addigyRemoved"];
                          if (!removed.is_array())
                              removed = sim::Json::array();
                          removed.push_back(std::string(req.matches[1]));
                          res.status = 204;
                      });

    sim.server.Post("/computers/manualUninstall",
                    [&sim](const httplib::Request&, httplib::Response& res) {
                        std::lock_guard lock(sim.mutex);
                        sim.state["manualUninstalls"] = sim.state.value("manualUninstalls", 0) + 1;
                        sim::jsonReply(res, 200, {{"ok", true}});
                    });
}
