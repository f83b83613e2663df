#pragma once
// The world the daemon's code runs in under test: a fresh system root with the
// stand-in tools first on PATH, the API simulator that every base URL points
// at, a token held, diagnostics on, and every setting as at a fresh start.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "platform/dispatch.h"
#include "platform/preferences.h"
#include "support/checks.h"
#include "support/extreme_random.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace qvtest {

class World : public ::testing::Test {
  protected:
    void SetUp() override {
        useRoot(root.str());
        ::setenv("PATH", (QV_SHIMS_DIR ":" + path_).c_str(), 1);
        resetSettings();
        using namespace QVAgentLaunchDaemon;
        realtimeBaseUrl = checkInBaseUrl = deploymentBaseUrl = api.baseUrl();
        authorizationToken.set("Bearer tok-1");
        App::Core::State::SetValueInMemory(App::Core::State::MemoryKey::authorizationToken,
                                           "Bearer tok-1");
        ENABLE_DIAGNOSTIC_LOGS = true;
    }
    void TearDown() override {
        // Every detached task a test started has ended: none runs on into the next test.
        EXPECT_TRUE(platform::Tasks::waitIdle(std::chrono::seconds(10)))
            << platform::Tasks::running() << " detached threads still run";
        resetSettings();
        restoreScratchRoot();
        ::setenv("PATH", path_.c_str(), 1);
    }
    // Every global setting as at a fresh start, no token held, nothing cached.
    static void resetSettings() {
        QVAgentLaunchDaemon::initializeGlobals();
        using QVAgentLaunchDaemon::App::Core::State;
        State::SetValueInMemory(State::MemoryKey::authorizationToken, std::nullopt);
        platform::Preferences::resetCacheForTesting();
    }

    std::string file(const std::string& path) const { return root.str() + path; }
    void put(const std::string& path, const std::string& text = "x") const {
        writeFile(file(path), text);
    }
    bool exists(const std::string& path) const {
        return std::filesystem::exists(std::filesystem::symlink_status(file(path)));
    }
    std::string read(const std::string& path) const { return readFile(file(path)); }
    // The simulator answers `method` on `path` (every path it starts when it
    // ends in "*") with `status` and `body`, `count` times (-1: always), once
    // the answers given before for it are spent.
    void answer(const std::string& method, const std::string& path, int status,
                const std::string& body = "", int count = -1) {
        api.addFault({{"method", method},
                      {"path", path},
                      {"status", status},
                      {"raw", body},
                      {"count", count}});
    }
    // How many requests the simulator received with this method and path.
    std::size_t requests(const std::string& method, const std::string& path) const {
        return api.requestsTo(method, path).size();
    }

    TempDir root;
    Simulator api;

  private:
    const std::string path_ = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
};

}  // namespace qvtest
