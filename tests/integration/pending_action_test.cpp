// A pending action delivered by the configuration, carried out by the real
// binary against the simulator: the agent update downloads, verifies and
// installs the package, acknowledges the action and leaves the trigger file
// that the next start closes; a package with the wrong digest is never run.

#include <gtest/gtest.h>

#include "support/checks.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

json updateAction(const std::string& agentUpdateId) {
    return json::array({{{"type", "updateAgent"}, {"value", agentUpdateId}, {"display", "2.0.0"}}});
}

void prepare(qvtest::Sandbox& box) {
    box.writeFile("/tmp/qvconfig", "KEY-1\\nACME\\nHQ");
    // The MDM agent is in place, so the only package installed is the update.
    box.writeFile("/Library/Addigy/go-agent", "#!/bin/sh\necho agent-1\n", 0755);
    box.installShim("installer", "/usr/sbin/installer");
    box.setShimAnswer("installer", "installer: The upgrade was successful.");
}

std::vector<std::string> installerCalls(const qvtest::Sandbox& box) {
    std::vector<std::string> calls;
    for (const auto& call : box.shimCalls())
        if (call.rfind("installer ", 0) == 0)
            calls.push_back(call);
    return calls;
}

std::vector<std::string> statusesOf(const json& state, const std::string& agentUpdateId) {
    std::vector<std::string> statuses;
    for (const auto& entry : state["agentUpdateRequests"][agentUpdateId]["statuses"])
        statuses.push_back(entry["status"]);
    return statuses;
}

TEST(PendingActionEndToEnd, UpdateFromTheConfigurationInstallsAndIsClosedAtTheNextStart) {
    qvtest::Simulator api;
    api.setState({{"pendingActions", updateAction("upd-1")}});
    qvtest::Sandbox box;
    prepare(box);
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(api.waitForRequest("POST", "/computers/pendingActions/completed", 20s))
        << box.textLog();
    box.stopDaemon();

    const auto calls = installerCalls(box);
    ASSERT_EQ(calls.size(), 1u) << box.textLog();
    const std::string prefix = "installer -pkg ";
    ASSERT_EQ(calls[0].rfind(prefix, 0), 0u) << calls[0];
    const std::string package = calls[0].substr(
        prefix.size(), calls[0].size() - prefix.size() - std::string(" -target /").size());
    EXPECT_EQ(box.readFile("/tmp/qvupdate.trigger"), "upd-1\n" + package);
    EXPECT_EQ(statusesOf(api.state(), "upd-1"),
              (std::vector<std::string>{"started", "downloadStarted"}));
    EXPECT_EQ(api.state()["completedPendingActions"], json::array({"updateAgent"}));

    // The installer replaced the daemon; its next start closes the update.
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(api.waitForRequest("POST", "/agentUpdateRequests/upd-1/status", 20s, 3))
        << box.textLog();
    EXPECT_EQ(statusesOf(api.state(), "upd-1"),
              (std::vector<std::string>{"started", "downloadStarted", "completed"}));
    EXPECT_FALSE(box.exists("/tmp/qvupdate.trigger"));
    EXPECT_EQ(installerCalls(box).size(), 1u);  // nothing installed a second time
}

TEST(PendingActionEndToEnd, DaemonKilledDuringTheInstallationClosesTheUpdateExactlyOnce) {
    qvtest::Simulator api;
    api.setState({{"pendingActions", updateAction("upd-2")}});
    qvtest::Sandbox box;
    prepare(box);
    box.writeFile("/.shim/installer.sh", "#!/bin/sh\nsleep 5\n", 0755);
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(qvtest::eventually([&] { return !installerCalls(box).empty(); }, 20s))
        << box.textLog();
    ASSERT_TRUE(box.exists("/tmp/qvupdate.trigger"));
    box.stopDaemon(SIGKILL);

    const std::string started = "Get Configuration worker started.";
    for (int start = 0; start < 2; ++start) {
        const int before = box.countInLog(started);
        box.startDaemon(api.baseUrl());
        ASSERT_TRUE(box.waitForLog(started, 15s, before + 1)) << box.textLog();
        box.stopDaemon();
    }
    EXPECT_EQ(statusesOf(api.state(), "upd-2"),
              (std::vector<std::string>{"started", "downloadStarted", "completed"}));
    EXPECT_EQ(api.state()["completedPendingActions"], json::array({"updateAgent"}));
    EXPECT_FALSE(box.exists("/tmp/qvupdate.trigger"));
}

}  // namespace
