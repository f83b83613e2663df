// The diagnostics watcher and the trigger-folder watcher on a temporary root,
// with the files edited by ordinary tools.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "daemon/watchers/config_watcher.h"
#include "daemon/watchers/trigger_watcher.h"
#include "platform/dispatch.h"
#include "platform/preferences.h"
#include "platform/system_root.h"
#include "support/checks.h"
#include "support/loopback_server.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using qvtest::eventually;

using namespace QVAgentLaunchDaemon;
using namespace std::chrono_literals;

constexpr const char* kDebugConf = "/Library/Application Support/Tessaly/Quorvel/debug.conf";

TEST(ConfigParse, FollowsTheFileFormatRules) {
    auto on = [](const std::string& text) {
        auto m = parseConfigText(text);
        auto found = m.find("ENABLE_DIAGNOSTIC_LOGS");
        return found != m.end() && found->second == "true";
    };
    EXPECT_TRUE(on("  ENABLE_DIAGNOSTIC_LOGS  =  true \t\n"));
    EXPECT_FALSE(on("ENABLE_DIAGNOSTIC_LOGS=TRUE\n"));
    EXPECT_FALSE(parseConfigText("ENABLE_DIAGNOSTIC_LOGS=\n").contains("ENABLE_DIAGNOSTIC_LOGS"));
    EXPECT_FALSE(on("# ENABLE_DIAGNOSTIC_LOGS=true\n"));
    EXPECT_FALSE(on("ENABLE_DIAGNOSTIC_LOGS=true\nENABLE_DIAGNOSTIC_LOGS=false\n"));
    EXPECT_TRUE(on("ENABLE_DIAGNOSTIC_LOGS=false\n\n\nENABLE_DIAGNOSTIC_LOGS=true"));
    EXPECT_FALSE(on("ENABLE_DIAGNOSTIC_LOGS=true\r\nOTHER=1\r\n"));  // CR LF: one line
    EXPECT_TRUE(
        on("\xC2\xA0"
           "ENABLE_DIAGNOSTIC_LOGS=true\xE3\x80\x80"));  // Unicode spaces
    auto m = parseConfigText("==URL=http://x/?a=b\nnoequals\n");
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(m["URL"], "http://x/?a=b");
    EXPECT_EQ(describeConfig({}), "[:]");
    EXPECT_EQ(describeConfig({{"a", "1"}, {"b", "2"}}), "[\"a\": \"1\", \"b\": \"2\"]");
}

class Watchers : public ::testing::Test {
  protected:
    void SetUp() override {
        qvtest::useRoot(root.str());
        std::filesystem::create_directories(file("/Library/Application Support/Tessaly/Quorvel"));
        ENABLE_DIAGNOSTIC_LOGS = false;
    }
    void TearDown() override {
        if (config)
            config->stop();
        ENABLE_DIAGNOSTIC_LOGS = false;
        qvtest::restoreScratchRoot();
    }
    std::string file(const std::string& absolutePath) { return root.str() + absolutePath; }
    void sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
    std::string conf() { return "'" + file(kDebugConf) + "'"; }
    bool diagnosticsBecome(bool value) {
        return eventually([&] { return ENABLE_DIAGNOSTIC_LOGS.load() == value; });
    }

    qvtest::TempDir root;
    std::shared_ptr<ConfigWatcher> config;
};

TEST_F(Watchers, DiagnosticsFollowTheFileAsPeopleEditIt) {
    ::testing::internal::CaptureStdout();
    std::filesystem::remove_all(file("/Library/Application Support/Tessaly"));
    config = ConfigWatcher::create(kDebugConf);  // no file, no folders: waits for them
    auto startLog = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(startLog.find("ERROR Could not read config file. Watching for changes..."),
              std::string::npos);
    EXPECT_FALSE(ENABLE_DIAGNOSTIC_LOGS);

    sh("mkdir -p \"$(dirname " + conf() + ")\" && echo 'ENABLE_DIAGNOSTIC_LOGS = true' > " +
       conf());  // created later than the watcher
    EXPECT_TRUE(diagnosticsBecome(true));
    sh("sed -i 's/true/TRUE/' " + conf());
    EXPECT_TRUE(diagnosticsBecome(false));
    sh("echo 'ENABLE_DIAGNOSTIC_LOGS=true' > " + conf());  // written in place
    EXPECT_TRUE(diagnosticsBecome(true));
    sh("rm " + conf());
    EXPECT_TRUE(diagnosticsBecome(false));
    sh("echo 'ENABLE_DIAGNOSTIC_LOGS=true' > " + conf());  // re-created: watched again
    EXPECT_TRUE(diagnosticsBecome(true));
    sh("printf 'ENABLE_DIAGNOSTIC_LOGS=false\\n' > " + conf() + ".new && mv " + conf() + ".new " +
       conf());
    EXPECT_TRUE(diagnosticsBecome(false));
    sh("echo 'ENABLE_DIAGNOSTIC_LOGS=true' >> " + conf());  // the moved-in file is watched
    EXPECT_TRUE(diagnosticsBecome(true));
    EXPECT_EQ(config->config().at("ENABLE_DIAGNOSTIC_LOGS"), "true");
}

TEST_F(Watchers, PresentFileIsParsedTwiceAtStart) {
    sh("echo 'ENABLE_DIAGNOSTIC_LOGS=true' > " + conf());
    int calls = 0;
    config = ConfigWatcher::create(kDebugConf);
    EXPECT_TRUE(ENABLE_DIAGNOSTIC_LOGS);
    config->setOnChange([&](const ConfigMapping&) { ++calls; });
    sh("echo 'X=1' >> " + conf());
    EXPECT_TRUE(eventually([&] {
        config->drain();
        return calls >= 1;
    }));
    EXPECT_TRUE(ENABLE_DIAGNOSTIC_LOGS);  // the replaced callback no longer switches
}

class TriggerFolder : public Watchers {
  protected:
    void SetUp() override {
        Watchers::SetUp();
        platform::Preferences::resetCacheForTesting();
        BUNDLE_ID = App::Core::Metadata::bundleId();
        platform::Preferences::setValue("computerId", "cmp-1", BUNDLE_ID);
        realtimeBaseUrl = "http://127.0.0.1:" + std::to_string(server.port());
        authorizationToken.set("Bearer t");
        isUninstallProcessActive = false;
        server.Delete("/addigy/computer/.*", [](const auto&, auto& res) { res.status = 204; });
        server.Post("/computers/manualUninstall", [](const auto&, auto& res) { res.status = 200; });
    }
    void TearDown() override {
        if (trigger)
            trigger->stop();
        platform::Tasks::waitIdle(10s);
        authorizationToken.set(std::nullopt);
        isUninstallProcessActive = false;
        platform::Preferences::resetCacheForTesting();
        Watchers::TearDown();
    }
    std::string folder() { return file(kTriggerFolder); }

    qvtest::LoopbackServer server;
    std::shared_ptr<TriggerWatcher> trigger;
    qvtest::StandInsOnPath standIns_;
};

TEST_F(TriggerFolder, BurstOfFilesWithTheTriggerStartsExactlyOneUninstall) {
    ::testing::internal::CaptureStdout();
    trigger = TriggerWatcher::create(handleTriggerFolderChange);
    // The uninstall removes the folder: the other files come first.
    sh("for i in $(seq 1 50); do touch '" + folder() + "/f$i'; done; touch '" + folder() +
       "/uninstall.trigger'");
    EXPECT_TRUE(server.waitForRequests(2, 10s));
    std::this_thread::sleep_for(300ms);
    platform::Tasks::waitIdle(10s);
    auto log = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("INFO Triggers folder exists."), std::string::npos);
    EXPECT_NE(log.find("File watcher triggered"), std::string::npos);
    EXPECT_EQ(server.requestCount(), 2u);  // one DELETE, one ping
    EXPECT_TRUE(isUninstallProcessActive);
}

TEST_F(TriggerFolder, OtherFilesDoNothingAndAFailedRunReleasesTheGuard) {
    // A launch-agent plist that cannot be removed makes the run fail at once.
    qvtest::writeFile(file("/Library/LaunchAgents/nl.root3.support.plist/inside"), "x");
    ::testing::internal::CaptureStdout();
    trigger = TriggerWatcher::create(handleTriggerFolderChange);
    sh("touch '" + folder() + "/other'");
    std::this_thread::sleep_for(300ms);
    platform::Tasks::waitIdle(5s);
    EXPECT_EQ(server.requestCount(), 0u);

    sh("touch '" + folder() + "/uninstall.trigger'");
    EXPECT_TRUE(server.waitForRequests(1, 10s));
    std::this_thread::sleep_for(300ms);
    platform::Tasks::waitIdle(5s);
    auto log = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("File watcher triggered"), std::string::npos);
    EXPECT_NE(log.find("ERROR Error: Support App Launch Agent was not deleted"), std::string::npos);
    EXPECT_FALSE(isUninstallProcessActive);  // a later trigger can start it again
    EXPECT_EQ(server.requestCount(), 1u);    // the MDM removal, but no ping
}

}  // namespace
