// The uninstall sequence against a loopback API, a temporary root and the
// stand-in tools; every wait goes through a recording sleeper.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "daemon/actions/uninstall.h"
#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "platform/preferences.h"
#include "platform/system_root.h"
#include "support/checks.h"
#include "support/loopback_server.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using qvtest::countOf;

using namespace QVAgentLaunchDaemon;
using namespace std::chrono_literals;

class RecordingSleeper : public platform::Sleeper {
  public:
    void sleepFor(std::chrono::milliseconds duration) override { total += duration.count(); }
    std::atomic<long long> total{0};
};

class Uninstall : public ::testing::Test {
  protected:
    void SetUp() override {
        qvtest::useRoot(root.str());
        platform::Preferences::resetCacheForTesting();
        BUNDLE_ID = App::Core::Metadata::bundleId();
        realtimeBaseUrl = "http://127.0.0.1:" + std::to_string(server.port());
        authorizationToken.set("Bearer tok-1");
        isUninstallProcessActive = false;
        for (const char* key : {"computerId", "agentId", "adminPortalBaseUrl"})
            platform::Preferences::setValue(key, std::string("v-") + key, BUNDLE_ID);
        platform::Preferences::setValue("computerId", "cmp-7", BUNDLE_ID);
        server.Delete("/addigy/computer/.*", [](const auto&, auto& res) { res.status = 204; });
        server.Post("/computers/manualUninstall", [](const auto&, auto& res) { res.status = 200; });
    }
    void TearDown() override {
        // The self-removal script runs on its own; let it end inside this root.
        waitForCall("pkgutil --forget com.tessaly.Quorvel", scriptStarted_ ? 5s : 0ms);
        authorizationToken.set(std::nullopt);
        isUninstallProcessActive = false;
        qvtest::restoreScratchRoot();
        platform::Preferences::resetCacheForTesting();
    }

    std::string file(const std::string& absolutePath) { return root.str() + absolutePath; }
    void put(const std::string& absolutePath, const std::string& content = "x") {
        qvtest::writeFile(file(absolutePath), content);
    }
    std::string calls() {
        std::error_code ignored;
        return std::filesystem::exists(file("/.shim/calls.log"))
                   ? qvtest::readFile(file("/.shim/calls.log"))
                   : "";
    }
    bool waitForCall(const std::string& call, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (calls().find(call) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    std::size_t requestsTo(const std::string& method, const std::string& prefix) {
        auto all = server.requests();
        return std::count_if(all.begin(), all.end(), [&](const auto& r) {
            return r.method == method && r.path.starts_with(prefix);
        });
    }
    // Runs the sequence and returns the text log it wrote (and its error, if any).
    std::string run(std::string* error = nullptr) {
        ::testing::internal::CaptureStdout();
        try {
            uninstall(sleeper);
            scriptStarted_ = true;
        } catch (const std::exception& e) {
            if (error)
                *error = e.what();
        }
        return ::testing::internal::GetCapturedStdout();
    }

    qvtest::TempDir root;
    qvtest::LoopbackServer server;
    RecordingSleeper sleeper;

  private:
    qvtest::StandInsOnPath standIns_;
    bool scriptStarted_ = false;
};

TEST_F(Uninstall, OfManyRunsAtOnceExactlyOneProceeds) {
    put("/Library/Application Support/Tessaly/Quorvel/Triggers/uninstall.trigger");
    ::testing::internal::CaptureStdout();
    std::vector<std::thread> runs;
    for (int i = 0; i < 8; ++i)
        runs.emplace_back([this] { uninstall(sleeper); });
    for (auto& t : runs)
        t.join();
    auto log = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(waitForCall("pkgutil --forget com.tessaly.Quorvel", 5s));
    EXPECT_EQ(countOf(log, "Agent uninstall trigger received."), 8);
    EXPECT_EQ(countOf(log, "Agent uninstall is already in progress."), 7);
    EXPECT_EQ(requestsTo("DELETE", "/addigy/computer/cmp-7"), 1u);
    EXPECT_EQ(requestsTo("POST", "/computers/manualUninstall"), 1u);
    EXPECT_TRUE(isUninstallProcessActive);
    EXPECT_FALSE(std::filesystem::exists(
        file("/Library/Application Support/Tessaly/Quorvel/Triggers/uninstall.trigger")));
    // The stored identity is gone from disk, as a new process would read it.
    platform::Preferences::resetCacheForTesting();
    for (const char* key : {"computerId", "agentId", "adminPortalBaseUrl"})
        EXPECT_FALSE(platform::Preferences::copyValue(key, BUNDLE_ID)) << key;
    EXPECT_EQ(sleeper.total, 0);
}

TEST_F(Uninstall, ApiFailingFourTimesFallsBackToTheRemovalScript) {
    server.Delete("/addigy/computer/.*", [](const auto&, auto& res) { res.status = 500; });
    qvtest::installStandIn(root.str(), "remove_agent.sh", "/Library/Addigy/remove_agent.sh");
    std::string error;
    auto log = run(&error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(requestsTo("DELETE", "/addigy/computer/"), 4u);
    EXPECT_EQ(countOf(log, "ERROR Attempt to send Addigy uninstall command failed"), 4);
    EXPECT_EQ(countOf(log, "ERROR Error: Request Failed"), 4);
    EXPECT_NE(log.find("INFO Performing Addigy offline uninstall"), std::string::npos);
    EXPECT_NE(calls().find("sudo " + file("/Library/Addigy/remove_agent.sh")), std::string::npos);
    EXPECT_EQ(sleeper.total, 4 * 2000);
    EXPECT_EQ(requestsTo("POST", "/computers/manualUninstall"), 1u);
}

TEST_F(Uninstall, AddigyFolderThatNeverVanishesFailsAfterFiveMinutes) {
    server.Delete("/addigy/computer/.*", [](const auto&, auto& res) { res.status = 500; });
    std::filesystem::create_directories(file("/Library/Addigy"));  // and no removal script
    std::string error;
    auto log = run(&error);
    EXPECT_EQ(error, "Addigy was not deleted in time.");
    EXPECT_EQ(calls().find("remove_agent.sh"), std::string::npos);
    EXPECT_EQ(sleeper.total, 4 * 2000 + 300 * 1000);
    EXPECT_EQ(requestsTo("POST", "/computers/manualUninstall"), 0u);
    EXPECT_TRUE(isUninstallProcessActive);  // released by the caller, not the sequence
}

TEST_F(Uninstall, LaunchAgentThatStaysLoadedFailsAfterTenAttempts) {
    put("/.shim/launchctl.loaded", "nl.root3.support\n");
    put("/.shim/launchctl.sticky", "nl.root3.support\n");
    put("/Library/LaunchAgents/nl.root3.support.plist");
    std::string error;
    auto log = run(&error);
    EXPECT_EQ(error, "Failed to stop support app");
    EXPECT_EQ(countOf(log, "Attempt to stop support app launch agent"), 10);
    EXPECT_EQ(countOf(calls(), "sudo launchctl bootout system " +
                                   file("/Library/LaunchAgents/nl.root3.support.plist")),
              10);
    // Each remove runs once through sudo and once directly: sudo's line and
    // the two launchctl lines.
    EXPECT_EQ(countOf(calls(), "launchctl remove nl.root3.support"), 30);
    EXPECT_EQ(sleeper.total, 10 * 1000);
    EXPECT_TRUE(std::filesystem::exists(file("/Library/LaunchAgents/nl.root3.support.plist")));
}

TEST_F(Uninstall, LoadedLaunchAgentIsStoppedAndBothPlistsRemoved) {
    put("/.shim/launchctl.loaded", "nl.root3.support\n");
    put("/Library/LaunchAgents/nl.root3.support.plist");
    put("/Library/Preferences/nl.root3.support.plist");
    auto log = run();
    EXPECT_EQ(countOf(log, "Attempt to stop support app launch agent"), 1);
    EXPECT_NE(log.find("INFO Support app launch agent plist deleted"), std::string::npos);
    EXPECT_NE(log.find("INFO Support app preferences plist deleted"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(file("/Library/LaunchAgents/nl.root3.support.plist")));
    EXPECT_FALSE(std::filesystem::exists(file("/Library/Preferences/nl.root3.support.plist")));
}

TEST_F(Uninstall, MissingSupportAppPlistsCountAsRemovedButOtherFailuresStop) {
    auto log = run();
    EXPECT_NE(log.find("INFO Support app launch agent stopped"), std::string::npos);
    EXPECT_NE(log.find("INFO Support app preferences plist deleted"), std::string::npos);
    EXPECT_EQ(requestsTo("POST", "/computers/manualUninstall"), 1u);

    // A plist path that cannot be removed (a folder with content) still fails.
    ASSERT_TRUE(waitForCall("pkgutil --forget", 5s));
    isUninstallProcessActive = false;
    put("/Library/Preferences/nl.root3.support.plist/inside");
    std::string error;
    run(&error);
    EXPECT_EQ(error, "Support App preferences plist was not deleted");
}

TEST_F(Uninstall, PingFailingSixTimesStillFinishesTheSequence) {
    server.Post("/computers/manualUninstall", [](const auto&, auto& res) {
        res.body = std::string(100, 'x');
        res.dropAfterBytes = 1;
    });
    auto log = run();
    EXPECT_EQ(requestsTo("POST", "/computers/manualUninstall"), 6u);
    EXPECT_EQ(countOf(log, "INFO Problem uninstalling computer in API."), 6);
    EXPECT_EQ(countOf(log, "ERROR Request error: "), 6);
    EXPECT_EQ(sleeper.total, 6 * 2000);
    ASSERT_TRUE(waitForCall("pkgutil --forget com.tessaly.Quorvel", 5s));
    EXPECT_FALSE(std::filesystem::exists(file("/Library/Application Support/Tessaly")));
}

TEST_F(Uninstall, ServerCallsJudgeStatusesAsDocumented) {
    server.Delete("/addigy/computer/.*", [](const auto&, auto& res) {
        res.status = 200;
        res.body = "not json";
    });
    server.Post("/computers/manualUninstall", [](const auto&, auto& res) { res.status = 500; });
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(
        try { uninstallAddigy(); } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Request Failed");
            throw;
        },
        std::exception);
    EXPECT_NO_THROW(sendUninstallPingToApi());
    authorizationToken.set(std::nullopt);
    EXPECT_NO_THROW(sendUninstallPingToApi());  // no token: nothing is sent
    platform::Preferences::setValue("computerId", std::nullopt, BUNDLE_ID);
    EXPECT_THROW(uninstallAddigy(), std::exception);
    auto log = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("INFO Status code: 200"), std::string::npos);
    EXPECT_NE(log.find("ERROR Error decoding JSON: "), std::string::npos);
    EXPECT_NE(log.find("INFO Status code: 500"), std::string::npos);
    EXPECT_NE(log.find("ERROR Authorization token is nil"), std::string::npos);
    EXPECT_NE(log.find("INFO Could not get computer id when uninstalling Addigy"),
              std::string::npos);
    EXPECT_EQ(requestsTo("POST", "/computers/manualUninstall"), 1u);
    auto deletes = server.requests();
    ASSERT_FALSE(deletes.empty());
    EXPECT_EQ(deletes.front().header("Authorization").value_or(""), "Bearer tok-1");
}

TEST(SelfRemovalScript, IsByteIdenticalUnderTheRealRootAndResolvedUnderASandbox) {
    platform::SystemRoot::set("/");
    EXPECT_EQ(selfRemovalScript(),
              "#!/bin/bash\n\nsudo launchctl bootout system "
              "/Library/LaunchDaemons/com.tessaly.Quorvel.plist\n\nsudo rm -f "
              "/Library/LaunchDaemons/com.tessaly.Quorvel.plist\n\nsudo rm -f "
              "/Library/Preferences/com.tessaly.Quorvel.plist\n\nsudo rm -rf \"/Library/"
              "Application Support/Tessaly\"\nsudo pkgutil --forget com.tessaly.Quorvel");
    platform::SystemRoot::set("/tmp/box");
    auto script = selfRemovalScript();
    EXPECT_NE(script.find("sudo rm -f /tmp/box/Library/Preferences/com.tessaly.Quorvel.plist\n"),
              std::string::npos);
    EXPECT_NE(script.find("sudo rm -rf \"/tmp/box/Library/Application Support/Tessaly\"\n"),
              std::string::npos);
    qvtest::restoreScratchRoot();
}

}  // namespace
