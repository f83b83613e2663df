// The agent update, end to end with the real binary against the simulator: an
// "updateAgent" pending action downloads, verifies and installs the package
// and the next start closes the update; each failure of the download, the
// digest, the trigger file or the installer ends in its status with nothing
// installed, acknowledged or left behind. The installer restarts the daemon,
// whose next start closes the update: here a daemon killed while the
// installer runs leaves the trigger file for the first start that has a
// token, which closes the update exactly once and removes the packages left
// behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>

#include "platform/plist.h"

#include "support/checks.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kTemp = qvtest::kProduct + "/temp";
const std::string kTrigger = "/tmp/qvupdate.trigger";

struct World {
    qvtest::Simulator api;
    qvtest::Sandbox box;

    explicit World(const json& update = json::object()) {
        api.setState(
            {{"pendingActions",
              json::array({{{"type", "updateAgent"}, {"value", "upd-1"}, {"display", "2.0.0"}}})},
             {"agentUpdates", {{"upd-1", update}}}});
        box.writeFile("/tmp/qvconfig", "KEY-1\\nACME\\nHQ");
        // The MDM agent is in place, so the only package installed is the update.
        box.writeFile("/Library/Addigy/go-agent", "#!/bin/sh\necho agent-1\n", 0755);
        box.installShim("installer", "/usr/sbin/installer");
    }
    std::vector<std::string> statuses() const {
        std::vector<std::string> result;
        const json state = api.state();
        for (const auto& entry : state["agentUpdateRequests"]["upd-1"]["statuses"])
            result.push_back(entry["status"]);
        return result;
    }
    // Starts the daemon with an installer that takes `seconds`, until it runs.
    void startWithSlowInstaller(int seconds) {
        box.writeFile("/.shim/installer.sh", "#!/bin/sh\nsleep " + std::to_string(seconds) + "\n",
                      0755);
        box.startDaemon(api.baseUrl());
        ASSERT_TRUE(qvtest::eventually([&] { return !installs().empty(); }, 20s)) << box.textLog();
    }
    std::vector<std::string> installs() const {
        std::vector<std::string> calls;
        for (const auto& call : box.shimCalls()) {
            if (call.starts_with("installer "))
                calls.push_back(call);
        }
        return calls;
    }
    std::vector<std::string> tempFiles() const {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(box.path(kTemp), ignored))
            names.push_back(entry.path().string());
        return names;
    }
};

const std::vector<std::string> kDownloaded{"started", "downloadStarted"};
std::vector<std::string> downloadedThen(const std::string& status) {
    return {"started", "downloadStarted", status};
}

std::string chatter() {
    std::string text;
    while (text.size() < 1024 * 1024)
        text += "installer: writing files ...\n";
    return text;
}

const std::string kSucceeded = "INFO 'updateAgent' pending action processed successfully.";
const std::string kFailed = "INFO 'updateAgent' pending action processing failed.";

struct Row {
    std::string name;
    json update = json::object();              // the simulator's settings of upd-1
    std::function<void(World&)> prepare = {};  // before the start, when given
    std::vector<std::string> statuses = kDownloaded;
    bool installerRuns = false;
    std::string line = kFailed;                                     // in the text log
    std::string error = "Failed to install the new Agent update.";  // of a "failed" status
    bool tokenOnDownload = true;  // the package comes from the realtime base URL's origin
};

const Row kRows[] = {
    // With the receipt of the installed version the installer says "The
    // upgrade was successful.", without one "The install was successful.".
    {.name = "Installs",
     .prepare =
         [](World& w) { w.box.writeFile("/.shim/pkgutil.receipts", "com.tessaly.Quorvel\n"); },
     .installerRuns = true,
     .line = kSucceeded},
    {.name = "InstallsWhereNoReceiptWasKept", .installerRuns = true, .line = kSucceeded},
    // "localhost" is another origin than the realtime base URL's 127.0.0.1.
    {.name = "PackageOnAnotherOriginFetchedWithoutTheToken",
     .prepare =
         [](World& w) {
             const std::string other = "http://localhost:" + w.api.baseUrl().substr(17);
             w.api.setState({{"agentUpdates", {{"upd-1", {{"payloadBaseUrl", other}}}}}});
         },
     .installerRuns = true,
     .line = kSucceeded,
     .tokenOnDownload = false},
    // More than a pipe holds on both streams, exit status 1, the sentence
    // among other text at the end: the output alone decides, and it is
    // drained while the installer runs.
    {.name = "ChattyInstallerFailingStatusSentenceAtTheEnd",
     .prepare =
         [](World& w) {
             w.box.writeFile("/.shim/installer",
                             chatter() + "  installer: The upgrade was successful. Done  \n\n");
             w.box.writeFile("/.shim/installer.stderr", chatter());
             w.box.writeFile("/.shim/installer.exit", "1");
         },
     .installerRuns = true,
     .line = kSucceeded},
    // A digest that differs only in case does not match either.
    {.name = "UpperCaseDigest",
     .update = {{"payloadDigest", "uppercase"}},
     .statuses = downloadedThen("verificationFailed")},
    {.name = "CutDownload",
     .update = {{"cutDownload", true}, {"package", std::string(200000, 'x')}},
     .statuses = downloadedThen("downloadFailed"),
     .line = "INFO Agent update download failed: "},
    {.name = "InstallerWithoutTheExactSentence",
     .prepare = [](World& w) { w.box.writeFile("/.shim/installer", "The upgrade was successful"); },
     .statuses = downloadedThen("failed"),
     .installerRuns = true},
    {.name = "NoInstaller",
     .prepare = [](World& w) { fs::remove(w.box.path("/usr/sbin/installer")); },
     .statuses = downloadedThen("failed"),
     .line = "ERROR Error installing pkg: "},
    // No folder to write the trigger file in (the computer enrolled before):
    // nothing is installed.
    {.name = "TriggerCannotBeWritten",
     .prepare =
         [](World& w) {
             w.box.writeFile("/Library/Preferences/com.tessaly.Quorvel.plist",
                             platform::plistToXml(platform::PlistDict{{"computerId", "cmp-1"}}));
             w.api.setState({{"computers", {{"cmp-1", json::object()}}}});
             fs::remove_all(w.box.path("/tmp"));
             w.box.writeFile("/tmp", "a file where the folder was");
         },
     .statuses = downloadedThen("failed"),
     .line = "ERROR Error writing update trigger: ",
     .error = "The update trigger file could not be written."},
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class AgentUpdate : public testing::TestWithParam<Row> {};

TEST_P(AgentUpdate, EndsInItsStatusAndOnlyASuccessLeavesThePackageAndTheTrigger) {
    const Row& row = GetParam();
    World world(row.update);
    auto& api = world.api;
    auto& box = world.box;
    if (row.prepare)
        row.prepare(world);
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog(row.line, 20s)) << box.textLog();
    ASSERT_TRUE(
        api.waitForRequest("POST", "/agentUpdateRequests/upd-1/status", 10s, row.statuses.size()))
        << box.textLog();
    const bool succeeds = row.line == kSucceeded;
    if (succeeds) {
        ASSERT_TRUE(api.waitForRequest("POST", "/computers/pendingActions/completed"));
    }
    box.stopDaemon();
    for (const auto& download : api.requestsTo("GET", "/packages/upd-1.pkg"))
        EXPECT_EQ(qvtest::headerOf(download, "Authorization").has_value(), row.tokenOnDownload);

    EXPECT_EQ(world.statuses(), row.statuses) << box.textLog();
    const auto installs = world.installs();
    EXPECT_EQ(installs.size(), row.installerRuns ? 1u : 0u) << box.textLog();
    if (!succeeds) {
        EXPECT_TRUE(world.tempFiles().empty());
        EXPECT_FALSE(box.exists(kTrigger) && fs::is_regular_file(box.path(kTrigger)));
        EXPECT_TRUE(api.state()["completedPendingActions"].is_null());
        if (row.statuses.back() == "failed") {
            EXPECT_EQ(api.state()["agentUpdateRequests"]["upd-1"]["statuses"].back(),
                      json({{"status", "failed"}, {"errorMessage", row.error}}));
        }
        return;
    }
    const auto files = world.tempFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(installs[0], "installer -pkg " + files[0] + " -target /");
    EXPECT_EQ(qvtest::readFile(files[0]), "Quorvel agent package for update upd-1\n");
    EXPECT_EQ(box.readFile(kTrigger), "upd-1\n" + files[0]);
    EXPECT_EQ(api.state()["completedPendingActions"], json::array({"updateAgent"}));
    std::smatch version;
    const std::string log = box.textLog();
    ASSERT_TRUE(std::regex_search(log, version, std::regex("INFO Agent Version: (\\S+)")));
    EXPECT_EQ(api.state()["agentUpdateRequests"]["upd-1"]["currentVersion"], version[1].str());
    EXPECT_NE(log.find("INFO Output String: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Rows, AgentUpdate, testing::ValuesIn(kRows),
                         [](const auto& test) { return test.param.name; });

TEST(AgentUpdateKilled, DuringTheInstallationTheFirstStartWithATokenClosesTheUpdateOnce) {
    World world;
    auto& api = world.api;
    auto& box = world.box;
    ASSERT_NO_FATAL_FAILURE(world.startWithSlowInstaller(5));
    ASSERT_TRUE(box.exists(kTrigger));
    box.stopDaemon(SIGKILL);
    box.writeFile(kTemp + "/update-k1.pkg", "package of another run that was killed");

    // Without a token (the login fails) the trigger file waits, with its package.
    const std::string trigger = box.readFile(kTrigger);
    api.addFault(
        {{"method", "POST"}, {"path", "/computers/cmp-1/login"}, {"status", 500}, {"count", 1}});
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token not set.")) << box.textLog();
    box.stopDaemon();
    EXPECT_EQ(box.readFile(kTrigger), trigger);
    EXPECT_EQ(world.tempFiles().size(), 2u);
    EXPECT_TRUE(api.state()["completedPendingActions"].is_null());

    const std::string started = "Get Configuration worker started.";
    for (int start = 0; start < 2; ++start) {
        const int before = box.countInLog(started);
        box.startDaemon(api.baseUrl());
        ASSERT_TRUE(box.waitForLog(started, 15s, before + 1)) << box.textLog();
        box.stopDaemon();
    }
    EXPECT_EQ(world.statuses(), downloadedThen("completed"));
    EXPECT_EQ(api.state()["completedPendingActions"], json::array({"updateAgent"}));
    // The update is acknowledged before its request is closed.
    std::vector<std::string> paths;
    for (const auto& request : api.requests())
        paths.push_back(request["path"]);
    EXPECT_TRUE(qvtest::inOrder(
        paths, {"/computers/pendingActions/completed", "/agentUpdateRequests/upd-1/status"}));
    EXPECT_FALSE(box.exists(kTrigger));
    EXPECT_TRUE(world.tempFiles().empty());
    EXPECT_EQ(world.installs().size(), 1u);  // nothing installed a second time
}

// Refused reports are sent again on the configuration worker's schedule, and
// while the installed update awaits its close no other installation starts.
TEST(AgentUpdateClose, RefusedReportsAreRetriedAndTheRequestIsInstalledOnce) {
    World world;
    auto& api = world.api;
    auto& box = world.box;
    api.setState(
        {{"configuration",
          {{"computerConfigurationPingIntervalOverride", -30}, {"globalMaxJitterOverride", 0}}}});
    const json refuseAck = {
        {"method", "POST"}, {"path", "/computers/pendingActions/completed"}, {"status", 500}};
    api.addFault(refuseAck);
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("skipped: an earlier update awaits its close.", 20s, 2))
        << box.textLog();
    box.stopDaemon();
    EXPECT_EQ(world.installs().size(), 1u);

    // The next start closes it; each report refused once is sent again.
    api.addFault(refuseAck);
    api.addFault(
        {{"method", "POST"}, {"path", "/agentUpdateRequests/upd-1/status"}, {"status", 503}});
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(qvtest::eventually([&] { return !box.exists(kTrigger); }, 20s)) << box.textLog();
    box.stopDaemon();
    EXPECT_EQ(world.statuses(), downloadedThen("completed"));
    EXPECT_EQ(api.state()["completedPendingActions"], json::array({"updateAgent"}));
    EXPECT_EQ(box.countInLog("it is sent again with the next configuration fetch."), 2);
    EXPECT_EQ(world.installs().size(), 1u);
}

// An uninstall that arrives while the installer runs lets it finish, then
// removes the update's trigger and package with the rest.
TEST(AgentUpdateClose, AnUninstallWaitsForTheInstallationAndLeavesNoTrigger) {
    World world;
    auto& box = world.box;
    ASSERT_NO_FATAL_FAILURE(world.startWithSlowInstaller(3));
    box.writeFile(qvtest::kProduct + "/Triggers/uninstall.trigger", "");
    ASSERT_TRUE(box.waitForLog("Waiting for the agent update installation to end"))
        << box.textLog();
    fs::remove_all(box.path("/Library/Addigy"));  // as the MDM service's removal does
    // The self-removal script's last step.
    ASSERT_TRUE(qvtest::eventually(
        [&] {
            return box.readFile("/.shim/calls.log").find("pkgutil --forget") != std::string::npos;
        },
        30s))
        << box.textLog();
    const std::string log = box.daemonOutput();  // the text log went with the product
    EXPECT_LT(log.find("INFO Output String: "), log.find("INFO Uninstalling Addigy")) << log;
    EXPECT_FALSE(box.exists(kTrigger));
    EXPECT_TRUE(world.tempFiles().empty());
}

}  // namespace
