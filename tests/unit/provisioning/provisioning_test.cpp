// The MDM agent's installation and identifier link, and the Support App's
// installation, in a temporary root with the stand-in tools and a loopback API.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "daemon/provisioning/addigy.h"
#include "daemon/provisioning/support_app.h"
#include "platform/dispatch.h"
#include "platform/preferences.h"
#include "platform/system_root.h"
#include "support/checks.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace QVAgentLaunchDaemon {
struct QVSupportAppTestPeer {
    static void unzipFile(const std::string& name) { QVSupportApp::unzipFile(name); }
};
}  // namespace QVAgentLaunchDaemon

namespace {

using qvtest::modeOf;

using namespace QVAgentLaunchDaemon;
using namespace std::chrono_literals;
using qvtest::hasEntry;
using qvtest::hasEntryStartingWith;
using qvtest::inOrder;
using qvtest::logEntriesOf;
using Entries = std::vector<std::string>;

const std::string kProduct = "/Library/Application Support/Tessaly/Quorvel";
const std::string kPackage = kProduct + "/temp/addigy.pkg";
const std::string kLaunchAgent = "/Library/LaunchAgents/nl.root3.support.plist";
const std::string kSupportPrefs = "/Library/Preferences/nl.root3.support.plist";

std::string commandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, n);
        ::pclose(pipe);
    }
    return output;
}

// The property list as Python's plistlib reads it: key -> [type name, value].
nlohmann::json readWithPlistlib(const std::string& path) {
    const std::string script =
        "import json, plistlib, sys\n"
        "with open(sys.argv[1], 'rb') as f: d = plistlib.load(f, fmt=plistlib.FMT_XML)\n"
        "print(json.dumps({k: [type(v).__name__, v] for k, v in d.items()}))\n";
    return nlohmann::json::parse(
        commandOutput("python3 -c " + qvtest::shellQuote(script) + " " + qvtest::shellQuote(path)));
}

class Provisioning : public ::testing::Test {
  protected:
    void SetUp() override {
        qvtest::useRoot(root.str());
        platform::Preferences::resetCacheForTesting();
        BUNDLE_ID = App::Core::Metadata::bundleId();
        realtimeBaseUrl = "http://127.0.0.1:" + std::to_string(server.port());
        authorizationToken.set("Bearer tok-1");
        shim("installer", "/usr/sbin/installer");
        shim("ditto", "/usr/bin/ditto");
    }
    void TearDown() override {
        platform::Tasks::waitIdle(10s);
        authorizationToken.set(std::nullopt);
        qvtest::restoreScratchRoot();
        platform::Preferences::resetCacheForTesting();
    }

    std::string file(const std::string& absolutePath) const { return root.str() + absolutePath; }
    bool exists(const std::string& absolutePath) const {
        return std::filesystem::exists(std::filesystem::symlink_status(file(absolutePath)));
    }
    void put(const std::string& absolutePath, const std::string& content = "x") {
        qvtest::writeFile(file(absolutePath), content);
    }
    void shim(const std::string& name, const std::string& absolutePath) {
        qvtest::installStandIn(root.str(), name, absolutePath);
    }
    void shimAnswer(const std::string& name, const std::string& output) {
        put("/.shim/" + name, output);
    }
    std::string calls() const {
        return exists("/.shim/calls.log") ? qvtest::readFile(file("/.shim/calls.log")) : "";
    }

    void makeArchive(const std::string& archive, const std::map<std::string, std::string>& files) {
        qvtest::writeZip(file(kProduct + "/" + archive), files);
    }
    void makeAllArchives() {
        makeArchive("Support.2.6.1.app.zip", {{"Support.app/Contents/MacOS/Support", "support"}});
        makeArchive("Dialog.app.zip", {{"Dialog/Contents/MacOS/Dialog", "dialog"}});
        makeArchive("ShowActionDialog.app.zip",
                    {{"ShowActionDialog/Contents/MacOS/Automator Application Stub", "stub"}});
    }

    Entries linkAndWait() {
        return logEntriesOf([] {
            linkComputerToAgentId();
            ASSERT_TRUE(platform::Tasks::waitIdle(10s));
        });
    }
    std::vector<qvtest::LoopbackRequest> linkRequests() const {
        std::vector<qvtest::LoopbackRequest> found;
        for (auto& request : server.requests())
            if (request.path == "/addigy/link-agent-id")
                found.push_back(request);
        return found;
    }

    qvtest::TempDir root;
    qvtest::LoopbackServer server;

  private:
    qvtest::StandInsOnPath standIns_;
};

// --- The MDM agent's installation -----------------------------------------

class AddigyInstallation : public Provisioning {
  protected:
    void SetUp() override {
        Provisioning::SetUp();
        server.Get("/addigy/computer/cmp-7/downloadLink", [this](const auto&, auto& res) {
            res.body = nlohmann::json{{"downloadLink", server.url("/packages/addigy.pkg")}}.dump();
            res.contentType = "application/json";
        });
        server.Get("/packages/addigy.pkg", [](const auto&, auto& res) { res.body = "PKG-v2"; });
        // The installer keeps the package it was handed, for the test to look at.
        put("/.shim/installer.sh", "cp \"$2\" \"$QV_ROOT/.shim/installed.pkg\"\n");
    }
    Entries install() {
        return logEntriesOf([] { verifyAddigyInstallation("cmp-7"); });
    }
};

TEST_F(AddigyInstallation, DownloadsReplacesTheLeftoverPackageInstallsAndDeletesIt) {
    put(kPackage, "left behind by an interrupted run");
    const auto log = install();

    EXPECT_TRUE(inOrder(
        log,
        {"INFO Start verifyAddigyInstallation",
         "INFO Addigy Installation Verification Complete - Addigy not "
         "already installed.",
         "INFO Making request to get Addigy download link for computer", "INFO Status code: 200",
         "INFO Download link acquired. Value: [" + server.url("/packages/addigy.pkg") + "]",
         "INFO Download link available.", "INFO Starting Addigy download.",
         "INFO Old temporary Addigy installer found. Removing...",
         "INFO Old temporary Addigy installer removed.", "INFO Download task completed.",
         "INFO Installing Addigy...", "INFO Installation succeeded",
         "INFO Finished addigy installation."}));
    EXPECT_NE(calls().find("installer -pkg " + file(kPackage) + " -target /\n"), std::string::npos);
    EXPECT_EQ(qvtest::readFile(file("/.shim/installed.pkg")), "PKG-v2");
    EXPECT_FALSE(exists(kPackage));

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(requests[0].header("x-client-name"), "mac-agent");
    // The package comes from wherever the link points: no credentials go with it.
    EXPECT_FALSE(requests[1].header("Authorization"));
    EXPECT_FALSE(requests[1].header("x-client-name"));
}

TEST_F(AddigyInstallation, InstallerFailureIsReportedWithItsOutputAndThePackageStillGoes) {
    shimAnswer("installer", "installer: Error - the package is damaged\n");
    put("/.shim/installer.exit", "1");
    const auto log = install();
    EXPECT_TRUE(inOrder(log, {"ERROR Installation failed with exit code 1",
                              "ERROR Error output: installer: Error - the package is damaged",
                              "INFO Finished addigy installation."}))
        << ::testing::PrintToString(log);
    EXPECT_FALSE(exists(kPackage));
}

TEST_F(AddigyInstallation, PresentAgentMakesNoRequest) {
    put("/Library/Addigy/go-agent");
    auto log = install();
    EXPECT_TRUE(hasEntry(log, "INFO Directory created at: " + kProduct + "/temp"));
    EXPECT_EQ(log.back(),
              "INFO Addigy Installation Verification Complete - Addigy already installed.");
    // With the folder present the creation line is not repeated.
    log = install();
    EXPECT_EQ(log, (Entries{"INFO Start verifyAddigyInstallation",
                            "INFO Addigy Installation Verification Complete - Addigy already "
                            "installed."}));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(AddigyInstallation, UnusableLinkAnswersEndTheCallBeforeAnyDownload) {
    struct Case {
        int status;
        std::string body;
        Entries expected;
    };
    const std::vector<Case> cases = {
        // A refusal is an ordinary line here, followed by the body.
        {404,
         R"({"error":"no such computer"})",
         {"INFO Status code: 404", "INFO Request failed.",
          "INFO Raw JSON response:", "INFO Download link not available."}},
        {200,
         R"({"link":"http://x/p.pkg"})",
         {"INFO Status code: 200",
          "ERROR Failed to decode JSON: the key \"downloadLink\" is missing or not a string",
          "INFO Download link not available."}},
        {200,
         R"({"downloadLink":"not a url"})",
         {"INFO Download link acquired. Value: [not a url]",
          "ERROR Invalid download link: not a url", "INFO Download link not available."}},
    };
    for (const auto& c : cases) {
        server.Get("/addigy/computer/cmp-7/downloadLink", [c](const auto&, auto& res) {
            res.status = c.status;
            res.body = c.body;
            res.contentType = "application/json";
        });
        const auto log = install();
        EXPECT_TRUE(inOrder(log, c.expected)) << c.body << "\n" << ::testing::PrintToString(log);
        EXPECT_FALSE(hasEntry(log, "INFO Starting Addigy download.")) << c.body;
    }
    EXPECT_EQ(calls().find("installer"), std::string::npos);
}

// --- The agent identifier's link -------------------------------------------

class AgentIdLink : public Provisioning {
  protected:
    void SetUp() override {
        Provisioning::SetUp();
        server.Post("/addigy/link-agent-id", [](const auto&, auto& res) {
            res.body = R"({"linked":true})";
            res.contentType = "application/json";
        });
    }
    std::optional<std::string> storedAgentId() {
        platform::Preferences::resetCacheForTesting();
        return platform::Preferences::copyString("agentId", BUNDLE_ID);
    }
};

TEST_F(AgentIdLink, IdentifierEqualToTheStoredOneMakesNoRequest) {
    shim("go-agent", "/Library/Addigy/go-agent");
    shimAnswer("go-agent", "agent-42\n");
    platform::Preferences::setValue("agentId", "agent-42", BUNDLE_ID);
    const auto log = linkAndWait();
    EXPECT_TRUE(hasEntry(log,
                         "INFO Already linked with the same agentId - skipping step "
                         "agent-42 == agent-42"));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(AgentIdLink, NewIdentifierIsStoredTrimmedAndSent) {
    shim("go-agent", "/Library/Addigy/go-agent");
    shimAnswer("go-agent", "  agent-43\n\n");
    platform::Preferences::setValue("agentId", "agent-42", BUNDLE_ID);
    const auto log = linkAndWait();
    EXPECT_TRUE(inOrder(log, {"INFO Linking Computer to Agent ID",
                              "INFO New Agent ID found. Setting Agent ID to state.",
                              "INFO Agent ID saved to state.",
                              "INFO Making request to link Agent ID to Computer record in "
                              "Quorvel API.",
                              "INFO Status code: 200", "INFO Raw JSON response:",
                              "INFO Computer successfully linked to Agent Id: agent-43"}));
    EXPECT_EQ(storedAgentId(), "agent-43");
    auto requests = linkRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, R"({"agentId":"agent-43"})");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json; charset=utf-8");
}

TEST_F(AgentIdLink, MissingAgentIsLinkedAsUnknown) {
    const auto log = linkAndWait();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(hasEntryStartingWith(log, "ERROR Could not get the Addigy Agent ID: "));
    EXPECT_EQ(storedAgentId(), "UNKNOWN");
    auto requests = linkRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, R"({"agentId":"UNKNOWN"})");
}

TEST_F(AgentIdLink, RefusedLinkIsNotReportedAsLinkedButTheIdentifierStaysStored) {
    shim("go-agent", "/Library/Addigy/go-agent");
    server.Post("/addigy/link-agent-id", [](const auto&, auto& res) {
        res.status = 500;
        res.body = R"({"error":"database down"})";
        res.contentType = "application/json";
    });
    const auto log = linkAndWait();
    EXPECT_TRUE(inOrder(
        log, {"INFO Status code: 500", "INFO Raw JSON response:", "ERROR Request failed."}));
    EXPECT_FALSE(hasEntry(log, "INFO Computer successfully linked to Agent Id: agent-0001"));
    // Stored before the request: the same identifier is not sent again.
    EXPECT_EQ(storedAgentId(), "agent-0001");
}

// --- The Support App --------------------------------------------------------

class SupportApp : public Provisioning {
  protected:
    void SetUp() override {
        Provisioning::SetUp();
        shim("go-agent", "/Library/Addigy/go-agent");
    }
    std::string loadedAgents() const {
        return exists("/.shim/launchctl.loaded") ? qvtest::readFile(file("/.shim/launchctl.loaded"))
                                                 : "";
    }
};

TEST_F(SupportApp, InstallsFromTheArchivesWritesBothPropertyListsAndLoadsTheAgent) {
    makeAllArchives();
    Entries log = logEntriesOf([] { EXPECT_FALSE(QVSupportApp::verifySupportAppInstallation()); });
    EXPECT_EQ(log, (Entries{"INFO notUnpacked: true", "INFO Support app is not installed."}));
    log = logEntriesOf([] { QVSupportApp::installSupportApp("cmp-7"); });
    EXPECT_EQ(log.back(), "INFO Quorvel Elevated Session configuration complete.");
    EXPECT_TRUE(hasEntry(log, "INFO Agent ID: agent-0001"));
    EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.starts_with("ERROR");
    })) << ::testing::PrintToString(log);

    for (const char* archive :
         {"/Support.2.6.1.app.zip", "/Dialog.app.zip", "/ShowActionDialog.app.zip"})
        EXPECT_FALSE(exists(kProduct + archive)) << archive;
    EXPECT_EQ(qvtest::readFile(file(kProduct + "/Support.2.6.1.app/Contents/MacOS/Support")),
              "support");
    EXPECT_EQ(modeOf(file(kProduct + "/Dialog.app/Contents/MacOS/Dialog")), 0755u);
    EXPECT_EQ(
        modeOf(file(kProduct + "/ShowActionDialog.app/Contents/MacOS/Automator Application Stub")),
        0755u);

    const std::string program = kProduct + "/Support.2.6.1.app/Contents/MacOS/Support";
    EXPECT_EQ(readWithPlistlib(file(kLaunchAgent)),
              (nlohmann::json{{"Label", {"str", "nl.root3.support"}},
                              {"Program", {"str", program}},
                              {"KeepAlive", {"bool", true}},
                              {"ProcessType", {"str", "Interactive"}},
                              {"AssociatedBundleIdentifiers", {"str", "nl.root3.support"}}}));
    auto str = [](const std::string& value) { return nlohmann::json{"str", value}; };
    auto boolean = [](bool value) { return nlohmann::json{"bool", value}; };
    const std::string dialog = "com.apple.automator.ShowActionDialog";
    EXPECT_EQ(readWithPlistlib(file(kSupportPrefs)),
              (nlohmann::json{{"Title", str("Elevated Sessions")},
                              {"Logo", str(kProduct + "/shield-user-icon.png")},
                              {"LogoDarkMode", str(kProduct + "/shield-user-icon-white.png")},
                              {"StatusBarIcon", str(kProduct + "/shield-user-icon-white.png")},
                              {"NotificationIcon", str(kProduct + "/shield-user-icon.png")},
                              {"CustomColor", str("#0066CC")},
                              {"HideFirstRowInfoItems", boolean(true)},
                              {"HideSecondRowInfoItems", boolean(true)},
                              {"HideSecondRowButtons", boolean(true)},
                              {"FirstRowTitleLeft", str("Request Elevated Session")},
                              {"FirstRowTypeLeft", str("App")},
                              {"FirstRowLinkLeft", str(dialog)},
                              {"FirstRowSymbolLeft", str("arrow.counterclockwise.circle")},
                              {"FirstRowTitleRight", str("Cancel Current Elevated Session")},
                              {"FirstRowTypeRight", str("App")},
                              {"FirstRowLinkRight", str(dialog)},
                              {"FirstRowSymbolRight", str("xmark.circle")},
                              {"StatusBarIconNotifierEnabled", boolean(false)},
                              {"ShowWelcomeScreen", boolean(false)},
                              {"OpenAtLogin", boolean(true)}}));
    EXPECT_EQ(modeOf(file(kLaunchAgent)), 0644u);
    EXPECT_EQ(modeOf(file(kSupportPrefs)), 0644u);

    // The activation sequence, in order, after both files were written.
    const std::string agentPath = file(kLaunchAgent);
    const std::string expected =
        "defaults read " + file(kSupportPrefs) + "\n" + "sudo launchctl bootout system " +
        agentPath + "\n" + "launchctl bootout system " + agentPath + "\n" +
        "sudo launchctl remove nl.root3.support\n" + "launchctl remove nl.root3.support\n" +
        "launchctl remove nl.root3.support\n" + "sudo launchctl bootstrap system " + agentPath +
        "\n" + "launchctl bootstrap system " + agentPath + "\n";
    EXPECT_NE(calls().find(expected), std::string::npos) << calls();
    EXPECT_EQ(loadedAgents(), "nl.root3.support\n");

    log = logEntriesOf([] { EXPECT_TRUE(QVSupportApp::verifySupportAppInstallation()); });
    EXPECT_EQ(log, (Entries{"INFO notUnpacked: false",
                            "INFO Support app is already installed. " + kSupportPrefs}));

    // A new set of archives installs again, to the same files and one loaded agent.
    const std::string agentBefore = qvtest::readFile(file(kLaunchAgent));
    const std::string prefsBefore = qvtest::readFile(file(kSupportPrefs));
    makeAllArchives();
    logEntriesOf([] { QVSupportApp::installSupportApp("cmp-7"); });
    EXPECT_EQ(qvtest::readFile(file(kLaunchAgent)), agentBefore);
    EXPECT_EQ(qvtest::readFile(file(kSupportPrefs)), prefsBefore);
    EXPECT_EQ(loadedAgents(), "nl.root3.support\n");
}

TEST_F(SupportApp, MissingArchivesAndAutomatorStubAreReportedAndTheSettingsStillFollow) {
    makeArchive("Dialog.app.zip", {{"Dialog/Contents/MacOS/Dialog", "dialog"}});
    EXPECT_FALSE(logEntriesOf([] { QVSupportApp::verifySupportAppInstallation(); }).empty());
    const auto log = logEntriesOf([] { QVSupportApp::installSupportApp("cmp-7"); });
    EXPECT_TRUE(inOrder(
        log,
        {"ERROR Support.2.6.1.app.zip not found in " + kProduct,
         "ERROR ShowActionDialog.app.zip not found in " + kProduct,
         "ERROR Couldn't set automator to executable", "ERROR Error: No such file or directory",
         "INFO dialog helper installed", "INFO Plist created at: " + kSupportPrefs,
         "INFO Quorvel Elevated Session configuration complete."}))
        << ::testing::PrintToString(log);
    EXPECT_EQ(modeOf(file(kProduct + "/Dialog.app/Contents/MacOS/Dialog")), 0755u);
}

TEST_F(SupportApp, ArchiveNameLosesEveryZipBeforeThePathIsFormed) {
    makeArchive("Dialog.app.zip", {{"Dialog.app/Contents/MacOS/Dialog", "dialog"}});
    const auto log = logEntriesOf([] { QVSupportAppTestPeer::unzipFile("Dialog.zip.app.zip"); });
    EXPECT_EQ(log,
              (Entries{"INFO Returning file path: " + kProduct + "/Dialog.app.zip",
                       "INFO Unzipping file from Source path: " + kProduct + "/Dialog.app.zip"}));
    EXPECT_TRUE(exists(kProduct + "/Dialog.app/Contents/MacOS/Dialog"));
    EXPECT_FALSE(exists(kProduct + "/Dialog.app.zip"));
}

TEST_F(SupportApp, CleanupRemovesBothInstallerConfigurationFiles) {
    put("/tmp/qvconfig", "KEY\nACME\nHQ");
    put("/tmp/QVInstaller.conf", "x");
    const auto log = logEntriesOf([] { QVSupportApp::cleanupSupportAppConfig(); });
    EXPECT_EQ(log, (Entries{"INFO Cleaned up support app config file(s)"}));
    EXPECT_FALSE(exists("/tmp/qvconfig"));
    EXPECT_FALSE(exists("/tmp/QVInstaller.conf"));
}

}  // namespace
