// The two file watchers of a running daemon - the diagnostics switch, then the
// uninstall by a trigger file left while the daemon was stopped - with the
// real binary, the simulator and the stand-in tools.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "support/checks.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using qvtest::countOf;
using qvtest::eventually;
using qvtest::kProduct;
using qvtest::sh;

std::string diagnosticLog(const qvtest::Sandbox& box) {
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(box.path(kProduct + "/logs"), ignored)) {
        if (entry.path().filename().string().starts_with("diagnostic-"))
            return qvtest::readFile(entry.path());
    }
    return "";
}

TEST(WatchersEndToEnd, DiagnosticsFollowDebugConfAndATriggerLeftWhileStoppedUninstallsAtStart) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY\\nACME\\nHQ");
    box.writeFile("/Library/LaunchDaemons/com.tessaly.Quorvel.plist", "<plist/>");
    box.writeFile("/Library/LaunchAgents/nl.root3.support.plist", "<plist/>");
    box.writeFile("/Library/Preferences/nl.root3.support.plist", "<plist/>");
    box.writeFile("/.shim/launchctl.loaded", "com.tessaly.Quorvel\nnl.root3.support\n");
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token is set.")) << box.textLog();
    const auto conf = "'" + box.path(kProduct + "/debug.conf") + "'";
    EXPECT_EQ(diagnosticLog(box), "");

    sh("echo 'ENABLE_DIAGNOSTIC_LOGS=true' > " + conf);
    ASSERT_TRUE(eventually([&] {
        return countOf(diagnosticLog(box), "ENABLE_DIAGNOSTIC_LOGS = true") == 1;
    })) << diagnosticLog(box);

    sh("rm " + conf);
    ASSERT_TRUE(eventually([&] {
        return diagnosticLog(box).find("File deleted or moved, restarting watcher...") !=
               std::string::npos;
    }));
    sh("echo 'ENABLE_DIAGNOSTIC_LOGS=true' > " + conf);  // the restarted watcher finds it
    ASSERT_TRUE(eventually([&] {
        return countOf(diagnosticLog(box), "ENABLE_DIAGNOSTIC_LOGS = true") == 2;
    })) << diagnosticLog(box);

    sh("sed 's/true/off/' " + conf + " > " + conf + ".new && mv " + conf + ".new " + conf);
    std::this_thread::sleep_for(500ms);
    const auto before = diagnosticLog(box);
    sh("echo 'ENABLE_DIAGNOSTIC_LOGS=off' >> " + conf);  // off: nothing more is written
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(diagnosticLog(box), before);
    EXPECT_EQ(before.find("Watching file at"), std::string::npos);  // written while off

    // The trigger folder reports what is dropped into it; an uninstall.trigger
    // dropped while no daemon runs is acted on, once, when the next one starts.
    ASSERT_TRUE(box.waitForLog("Watching file at " + kProduct + "/Triggers")) << box.textLog();
    sh("touch '" + box.path(kProduct + "/Triggers/other") + "'");
    ASSERT_TRUE(box.waitForLog("INFO File watcher triggered")) << box.textLog();
    box.stopDaemon();
    sh("touch '" + box.path(kProduct + "/Triggers/uninstall.trigger") + "'");
    box.startDaemon(api.baseUrl());
    auto ran = [&](const std::string& line) { return qvtest::hasEntry(box.shimCalls(), line); };
    ASSERT_TRUE(eventually([&] { return ran("pkgutil --forget com.tessaly.Quorvel"); }))
        << box.daemonOutput();

    EXPECT_EQ(api.requestsTo("DELETE", "/addigy/computer/cmp-1").size(), 1u);
    EXPECT_EQ(api.requestsTo("POST", "/computers/manualUninstall").size(), 1u);
    EXPECT_TRUE(ran("sudo launchctl bootout system " +
                    box.path("/Library/LaunchAgents/nl.root3.support.plist")));
    EXPECT_TRUE(ran("sudo launchctl bootout system " +
                    box.path("/Library/LaunchDaemons/com.tessaly.Quorvel.plist")));
    const auto out = box.daemonOutput();
    EXPECT_EQ(countOf(out, "Agent uninstall trigger received."), 1) << out;
    EXPECT_TRUE(
        qvtest::inOrder(qvtest::entriesOf(out),
                        {"INFO Agent uninstall trigger received.", "INFO Status code: 204",
                         "INFO Support app launch agent stopped", "INFO Status code: 200"}));
    EXPECT_EQ(out.find("Problem uninstalling computer in API."), std::string::npos);
    for (const char* gone :
         {"/Library/LaunchDaemons/com.tessaly.Quorvel.plist",
          "/Library/LaunchAgents/nl.root3.support.plist",
          "/Library/Preferences/nl.root3.support.plist",
          "/Library/Preferences/com.tessaly.Quorvel.plist", "/Library/Application Support/Tessaly"})
        EXPECT_TRUE(eventually([&] { return !box.exists(gone); }, 3s)) << gone;
    EXPECT_EQ(box.readFile("/.shim/launchctl.loaded"), "");
}

}  // namespace
