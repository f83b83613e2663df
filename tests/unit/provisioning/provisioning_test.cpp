// The MDM agent's installation, judged on each answer about its download link
// and on the installer's exit status, and the Support App's installation from
// its archives: its settings and the commands that reload its launch agent.

#include "daemon/provisioning/addigy.h"
#include "daemon/provisioning/support_app.h"
#include "unit/world.h"

namespace {

using namespace QVAgentLaunchDaemon;

const std::string kProduct = "/Library/Application Support/Tessaly/Quorvel";

using Provisioning = qvtest::World;

TEST_F(Provisioning, MdmAgentIsInstalledOnlyFromAUsableLinkAndTheInstallerJudgesItself) {
    qvtest::installStandIn(root.str(), "installer", "/usr/sbin/installer");
    api.setState({{"addigy", {{"package", "PKG-v2"}}}});
    put("/.shim/installer.sh", "cp \"$2\" \"$QV_ROOT/.shim/installed.pkg\"\n");  // keeps it
    const std::string link;  // the simulator's own: its package
    // The installer's output (none: it succeeds) and a line of the text log.
    using Row = std::tuple<int, std::string, std::string, std::string>;
    // clang-format off
    for (const auto& [status, body, installer, line] : std::vector<Row>{
            {200, link, "", "INFO Installation succeeded"},
            {200, link, "installer: damaged", "ERROR Error output: installer: damaged"},
            {404, R"({"error":"no such computer"})", "", "INFO Request failed."},
            {200, R"({"link":"x"})", "", "ERROR Failed to decode JSON: the key \"downloadLink"},
            {200, R"({"downloadLink":"no url"})", "", "ERROR Invalid download link: no url"}}) {
        // clang-format on
        if (body != link)
            answer("GET", "/addigy/computer/cmp-7/downloadLink", status, body, 1);
        put(kProduct + "/temp/addigy.pkg", "left behind by an interrupted run");
        std::filesystem::remove(file("/.shim/installed.pkg"));
        put("/.shim/installer", installer);
        put("/.shim/installer.exit", installer.empty() ? "0" : "1");
        const auto log = qvtest::logEntriesOf([] { verifyAddigyInstallation("cmp-7"); });
        SCOPED_TRACE(line);
        EXPECT_TRUE(qvtest::hasEntryStartingWith(log, line)) << testing::PrintToString(log);
        EXPECT_EQ(qvtest::hasEntryStartingWith(log, "ERROR"), line.starts_with("ERROR"));
        EXPECT_EQ(read("/.shim/installed.pkg") == "PKG-v2", body == link);
        EXPECT_EQ(exists(kProduct + "/temp/addigy.pkg"), body != link);
    }
    // The package comes from wherever the link points: no credentials go with it.
    const auto download = api.requests().at(1);
    EXPECT_FALSE(qvtest::headerOf(download, "Authorization") ||
                 qvtest::headerOf(download, "x-client-name"));
}

TEST_F(Provisioning, SupportAppIsUnpackedConfiguredAndItsLaunchAgentReloaded) {
    qvtest::installStandIn(root.str(), "go-agent", "/Library/Addigy/go-agent");
    qvtest::installStandIn(root.str(), "ditto", "/usr/bin/ditto");
    qvtest::writeZip(file(kProduct + "/Support.2.6.1.app.zip"),
                     {{"Support.app/Contents/MacOS/Support", "s"}});
    qvtest::writeZip(file(kProduct + "/Dialog.app.zip"), {{"Dialog/Contents/MacOS/Dialog", "d"}});
    qvtest::writeZip(file(kProduct + "/ShowActionDialog.app.zip"),
                     {{"ShowActionDialog/Contents/MacOS/Automator Application Stub", "a"}});
    const auto log = qvtest::logEntriesOf([] { QVSupportApp::installSupportApp("cmp-7"); });
    EXPECT_TRUE(qvtest::inOrder(log, {"INFO Support app installed.", "INFO dialog helper installed",
                                      "INFO Quorvel Elevated Session configuration complete."}));
    EXPECT_FALSE(qvtest::hasEntryStartingWith(log, "ERROR"));
    const std::string agent = read("/Library/LaunchAgents/nl.root3.support.plist");
    const std::string settings = read("/Library/Preferences/nl.root3.support.plist");
    EXPECT_EQ(qvtest::countOf(agent + settings, "<true/>"), 1 + 4);  // KeepAlive; 4 switches on
    EXPECT_EQ(qvtest::countOf(settings, "<false/>"), 2);
    const std::string calls = read("/.shim/calls.log"), label = "nl.root3.support",
                      plist = file("/Library/LaunchAgents/nl.root3.support.plist");
    // clang-format off
    EXPECT_NE(calls.find("defaults read " + file("/Library/Preferences/" + label + ".plist") +
        "\nsudo launchctl bootout system " + plist + "\nlaunchctl bootout system " + plist +
        "\nsudo launchctl remove " + label + "\nlaunchctl remove " + label +
        "\nlaunchctl remove " + label + "\nsudo launchctl bootstrap system " + plist +
        "\nlaunchctl bootstrap system " + plist + "\n"), std::string::npos) << calls;
    // clang-format on
}

}  // namespace
