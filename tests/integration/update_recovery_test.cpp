// Recovery of an agent update at the next start of the real binary: a trigger
// file left by the previous run closes the update on the server and its files
// are removed; without a token the trigger file waits for a later start.

#include <gtest/gtest.h>

#include <algorithm>

#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kPackage = "/Library/Application Support/Tessaly/Quorvel/temp/update-7f3k.pkg";

// An enrolled computer: its identifier stored, and known to the simulator.
void enroll(qvtest::Sandbox& box, qvtest::Simulator& api, const std::string& id) {
    box.storeComputerId(id);
    api.setState({{"computers", {{"cmp-1", json::object()}}}});
}

TEST(UpdateRecoveryEndToEnd, TriggerLeftByThePreviousRunIsReportedCompletedAndCleanedUp) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    enroll(box, api, "cmp-1");
    box.writeFile(kPackage, "old package");
    box.writeFile("/tmp/qvupdate.trigger", "upd-9\n" + box.path(kPackage));
    const std::string leftover = "/Library/Application Support/Tessaly/Quorvel/temp/update-k1.pkg";
    box.writeFile(leftover, "package of a run that was killed");
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(api.waitForRequest("POST", "/agentUpdateRequests/upd-9/status")) << box.textLog();
    ASSERT_TRUE(box.waitForLog("Get Configuration worker started."));
    EXPECT_FALSE(box.exists(leftover));

    EXPECT_FALSE(box.exists("/tmp/qvupdate.trigger"));
    EXPECT_FALSE(box.exists(kPackage));
    const auto requests = api.requests();
    std::vector<std::string> paths;
    for (const auto& request : requests)
        paths.push_back(request["path"]);
    const auto login = std::find(paths.begin(), paths.end(), "/computers/cmp-1/login");
    const auto completed =
        std::find(paths.begin(), paths.end(), "/computers/pendingActions/completed");
    const auto status = std::find(paths.begin(), paths.end(), "/agentUpdateRequests/upd-9/status");
    ASSERT_NE(completed, paths.end());
    EXPECT_LT(login, completed);
    EXPECT_LT(completed, status);
    EXPECT_EQ(api.state()["completedPendingActions"], json::parse(R"(["updateAgent"])"));
    EXPECT_EQ(api.state()["agentUpdateRequests"]["upd-9"]["statuses"],
              json::parse(R"([{"status": "completed"}])"));
    EXPECT_EQ(box.countInLog("Untrusted update trigger file"), 0) << box.textLog();
}

TEST(UpdateRecoveryEndToEnd, WithoutATokenTheTriggerWaitsForALaterStart) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    enroll(box, api, "cmp-unknown");  // login answers 404
    box.writeFile(kPackage, "new package");
    box.writeFile("/tmp/qvupdate.trigger", "upd-9\n" + box.path(kPackage));
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token not set.")) << box.textLog();
    box.stopDaemon();

    EXPECT_EQ(box.readFile("/tmp/qvupdate.trigger"), "upd-9\n" + box.path(kPackage));
    EXPECT_TRUE(box.exists(kPackage));
    EXPECT_TRUE(api.requestsTo("POST", "/computers/pendingActions/completed").empty());
}

}  // namespace
