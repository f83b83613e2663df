// Passing faults with the real binary: a descriptor limit, a read-only and a
// full disk. Each passes without harm: the stored identity is neither moved
// aside nor replaced, no computer record is created that the daemon cannot
// keep, every registration carries the customer key, and the daemon resumes
// by itself once the fault is gone.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/plist.h"

#include "support/checks.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kPreferences = "/Library/Preferences";
const std::string kDomainFile = kPreferences + "/com.tessaly.Quorvel.plist";

// A small tmpfs over a folder of the sandbox, unmounted whatever happens.
struct TmpfsMount {
    std::string folder;
    TmpfsMount(std::string where, const std::string& options) : folder(std::move(where)) {
        std::filesystem::create_directories(folder);
        qvtest::sh("mount -t tmpfs -o " + options + " tmpfs '" + folder + "'");
    }
    ~TmpfsMount() { std::system(("umount -l '" + folder + "'").c_str()); }
};

std::vector<std::string> licenseKeysRegistered(const qvtest::Simulator& api) {
    std::vector<std::string> keys;
    for (const auto& registration : api.requestsTo("POST", "/computers/mac"))
        keys.push_back(json::parse(registration["body"].get<std::string>())["licenseKey"]);
    return keys;
}

TEST(PassingFaults, ADescriptorLimitLeavesTheIdentityAndTheKeyAsTheyAre) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtimes need descriptors of their own (UBSan probes
    // memory through a pipe) and report false errors without them.
    GTEST_SKIP() << "a descriptor limit of 4 is for the plain build";
#endif
    qvtest::Simulator api;
    qvtest::Sandbox box;
    box.writeFile(kDomainFile, platform::plistToXml(platform::PlistDict{{"computerId", "cmp-1"}}));
    box.writeFile("/tmp/qvconfig", "KEY\\nACME\\nHQ");
    api.setState({{"computers", {{"cmp-1", json::object()}}}});

    // One descriptor free: which open fails first varies from run to run (the
    // preferences' in most), so the checks are those that hold for any.
    box.startDaemon(api.baseUrl(), {}, {"/bin/sh", "-c", "ulimit -n 4 && exec \"$0\""});
    ASSERT_TRUE(qvtest::eventually([&] {
        return box.daemonOutput().find("Too many open files") != std::string::npos;
    })) << box.daemonOutput();
    std::this_thread::sleep_for(1s);
    box.stopDaemon();
    EXPECT_EQ(box.preference("computerId"), "cmp-1");
    EXPECT_FALSE(box.exists(kDomainFile + ".corrupt"));
    EXPECT_TRUE(box.exists("/tmp/qvconfig"));

    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token is set.")) << box.textLog();
    box.stopDaemon();
    EXPECT_TRUE(licenseKeysRegistered(api).empty());
    EXPECT_FALSE(api.requestsTo("POST", "/computers/cmp-1/login").empty());
}

TEST(PassingFaults, AReadOnlyThenFullDiskRegistersOnceWithTheKeyAndStoresTheIdOnceThereIsRoom) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY\\nACME\\nHQ");
    api.setState(
        {{"configuration",
          {{"computerConfigurationPingIntervalOverride", -30}, {"globalMaxJitterOverride", 0}}}});
    TmpfsMount preferences(box.path(kPreferences), "size=64k,ro");
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("no computer is registered until they can.")) << box.textLog();

    // Room for one small file: the first write lands, the identifier's does not.
    const std::string fill = preferences.folder + "/fill";
    qvtest::sh("mount -o remount,rw '" + preferences.folder + "'; dd if=/dev/zero of='" + fill +
               "' bs=4096 2>/dev/null; truncate -s -4096 '" + fill + "'");
    ASSERT_TRUE(box.waitForLog("ERROR Computer ID could not be saved to state", 30s))
        << box.textLog();
    ASSERT_TRUE(box.waitForLog("INFO Cleaned up support app config file(s)")) << box.textLog();
    EXPECT_TRUE(box.exists("/tmp/qvconfig"));
    EXPECT_EQ(box.countInLog("INFO Computer ID: Optional(\"cmp-1\")"), 1) << box.textLog();

    std::filesystem::remove(fill);
    ASSERT_TRUE(box.waitForLog("INFO Computer ID saved to state")) << box.textLog();
    EXPECT_TRUE(qvtest::eventually([&] { return !box.exists("/tmp/qvconfig"); }));
    box.stopDaemon();
    EXPECT_EQ(box.preference("computerId"), "cmp-1");
    EXPECT_EQ(licenseKeysRegistered(api), std::vector<std::string>{"KEY"});
}

}  // namespace
