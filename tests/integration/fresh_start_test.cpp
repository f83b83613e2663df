// A fresh computer's start-up enrolls (registration and login), provisions
// the MDM agent and the Support App, and the next start only logs in and finds
// everything in place: the real binary, the simulator and the stand-in tools.

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/checks.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qvtest::kProduct;
using qvtest::modeOf;

TEST(FreshStartEndToEnd, EnrollsLinksTheMdmAgentLoadsTheSupportAppAndTheNextStartOnlyLogsIn) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY-1\\nACME Corp\\nHQ");
    box.writeFile("/tmp/QVInstaller.conf", "installer settings");
    box.installShim("installer", "/usr/sbin/installer");
    box.installShim("ditto", "/usr/bin/ditto");
    // Installing the downloaded package puts the MDM agent in place.
    box.writeFile("/.shim/installer.sh",
                  "mkdir -p \"$QV_ROOT/Library/Addigy\"\n"
                  "ln -sf " +
                      qvtest::shellQuote(std::string(QV_SHIMS_DIR) + "/go-agent") +
                      " \"$QV_ROOT/Library/Addigy/go-agent\"\n");
    box.writeFile("/.shim/go-agent", "agent-e2e\n");
    qvtest::writeZip(box.path(kProduct + "/Support.2.6.1.app.zip"),
                     {{"Support.app/Contents/MacOS/Support", "support"}});
    qvtest::writeZip(box.path(kProduct + "/Dialog.app.zip"),
                     {{"Dialog/Contents/MacOS/Dialog", "dialog"}});
    qvtest::writeZip(box.path(kProduct + "/ShowActionDialog.app.zip"),
                     {{"ShowActionDialog/Contents/MacOS/Automator Application Stub", "stub"}});

    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Cleaned up support app config file(s)", 30s)) << box.textLog();
    ASSERT_TRUE(api.waitForRequest("POST", "/addigy/link-agent-id")) << box.textLog();

    // The road of a fresh start, as the text log tells it.
    EXPECT_TRUE(qvtest::inOrder(
        qvtest::entriesOf(box.textLog()),
        {"TITLE Working!", "INFO Registration Complete!", "INFO Authorization header found.",
         "INFO Login Complete!", "TITLE Agent Info", "INFO Computer ID: Optional(\"cmp-1\")",
         "INFO Authorization token is set.",
         "INFO Addigy Installation Verification Complete - Addigy not already installed.",
         "INFO Installation succeeded", "INFO Finished addigy installation.",
         "INFO Support app is not installed.", "INFO Support app installed.",
         "INFO Quorvel Elevated Session configuration complete.",
         "INFO Cleaned up support app config file(s)", "INFO Get Configuration worker started."}));
    // Every line is a time stamp, a level and the message.
    const std::regex entry(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (INFO|ERROR|TITLE) .*)");
    for (const auto& line : qvtest::linesOf(box.textLog()))
        EXPECT_TRUE(std::regex_match(line, entry)) << line;

    EXPECT_EQ(box.preference("computerId"), "cmp-1");
    EXPECT_EQ(api.state()["computers"]["cmp-1"]["licenseKey"], "KEY-1");
    EXPECT_EQ(api.state()["computers"]["cmp-1"]["companyName"], "ACME Corp");
    EXPECT_EQ(api.state()["computers"]["cmp-1"]["locationName"], "HQ");
    const auto registrations = api.requestsTo("POST", "/computers/mac");
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(qvtest::headerOf(registrations[0], "Authorization"), std::nullopt);
    EXPECT_EQ(json::parse(registrations[0]["body"].get<std::string>())["data"]["operatingSystem"],
              json::parse(R"({"name":"macOS","version":"14.5","build":"23F79"})"));
    EXPECT_EQ(api.requestsTo("GET", "/addigy/computer/cmp-1/downloadLink").size(), 1u);
    EXPECT_EQ(api.requestsTo("GET", "/addigy/packages/cmp-1.pkg").size(), 1u);
    EXPECT_TRUE(box.exists("/Library/Addigy/go-agent"));
    EXPECT_FALSE(box.exists(kProduct + "/temp/addigy.pkg"));
    EXPECT_TRUE(box.waitForLog("INFO Computer successfully linked to Agent Id: agent-e2e"));
    EXPECT_EQ(api.state()["addigyLinkRequests"], (json{{{"agentId", "agent-e2e"}}}));
    EXPECT_EQ(box.preference("agentId"), "agent-e2e");

    EXPECT_TRUE(box.exists(kProduct + "/Support.2.6.1.app/Contents/MacOS/Support"));
    EXPECT_EQ(modeOf(box.path(kProduct + "/Dialog.app/Contents/MacOS/Dialog")), 0755u);
    EXPECT_EQ(modeOf(box.path(kProduct +
                              "/ShowActionDialog.app/Contents/MacOS/Automator Application Stub")),
              0755u);
    EXPECT_TRUE(box.exists("/Library/Preferences/nl.root3.support.plist"));
    EXPECT_EQ(box.readFile("/.shim/launchctl.loaded"), "nl.root3.support\n");
    EXPECT_FALSE(box.exists("/tmp/qvconfig"));
    EXPECT_FALSE(box.exists("/tmp/QVInstaller.conf"));

    // The next start only logs in and finds everything in place: no download, no new link.
    box.stopDaemon();
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Cleaned up support app config file(s)", 30s, 2));
    EXPECT_TRUE(box.waitForLog(
        "INFO Already linked with the same agentId - skipping step agent-e2e == agent-e2e"));
    EXPECT_EQ(box.countInLog("INFO Support app is already installed. "), 1);
    EXPECT_EQ(api.requestsTo("GET", "/addigy/computer/cmp-1/downloadLink").size(), 1u);
    EXPECT_EQ(api.requestsTo("POST", "/addigy/link-agent-id").size(), 1u);
    EXPECT_EQ(api.requestsTo("POST", "/computers/mac").size(), 1u);
    EXPECT_EQ(api.requestsTo("POST", "/computers/cmp-1/login").size(), 2u);
    EXPECT_EQ(box.countInLog("INFO Registering computer..."), 1);
    EXPECT_EQ(box.countInLog("INFO Computer ID: Optional(\"cmp-1\")"), 2);
}

}  // namespace
