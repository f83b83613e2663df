// The agent self-update in process, through the daemon library against the API
// simulator, in a sandbox root with the stand-in installer: the whole round
// trip and its recovery, every failure branch of the download, verification
// and installation, and trigger files that someone else planted.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "daemon/actions/agent_update.h"
#include "daemon/actions/pending_actions.h"
#include "daemon/actions/update_recovery.h"
#include "daemon/core/app_core.h"
#include "platform/process.h"
#include "platform/system_root.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/system_roots.h"

namespace {

using namespace QVAgentLaunchDaemon;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kTempFolder = "/Library/Application Support/Tessaly/Quorvel/temp";

// The gateways read the base URL once, so the process keeps one simulator
// (each test runs in its own process under ctest).
qvtest::Simulator& api() {
    static qvtest::Simulator simulator;  // stopped when the process exits
    static const bool pointed = ::setenv("QV_API_BASE_URL", simulator.baseUrl().c_str(), 1) == 0;
    EXPECT_TRUE(pointed);
    return simulator;
}

class AgentUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        api();
        qvtest::useRoot(box.root());
        box.installShim("installer", "/usr/sbin/installer");
        App::Core::State::SetValueInMemory(App::Core::State::MemoryKey::authorizationToken,
                                           "Bearer tok-cmp-1-1");
    }
    void TearDown() override { qvtest::restoreScratchRoot(); }

    std::string run(const std::vector<PendingActionDTO>& actions) {
        auto handlers = defaultPendingActionHandlers();
        handlers.uninstall = [this] { uninstalls++; };
        return qvtest::stdoutOf([&] { processPendingActions(actions, handlers); });
    }
    std::vector<std::string> statuses(const std::string& id) {
        std::vector<std::string> result;
        for (const auto& status : statusRecords(id))
            result.push_back(status["status"]);
        return result;
    }
    json statusRecords(const std::string& id) {
        const json state = api().state();
        const auto pointer = json::json_pointer("/agentUpdateRequests/" + id + "/statuses");
        return state.contains(pointer) ? state.at(pointer) : json::array();
    }
    json completedActions() { return api().state()["completedPendingActions"]; }
    std::vector<std::string> tempFiles() {
        std::vector<std::string> names;
        if (fs::exists(box.path(kTempFolder)))
            for (const auto& entry : fs::directory_iterator(box.path(kTempFolder)))
                names.push_back(entry.path().string());
        return names;
    }
    // A trigger file and a package, as the update routine leaves them.
    std::string plantUpdate(const std::string& id) {
        const std::string pkg = box.path(kTempFolder) + "/update-" + id + ".pkg";
        qvtest::writeFile(pkg, "package");
        writeUpdateTriggerFile(id, pkg);
        return pkg;
    }

    qvtest::Sandbox box;
    int uninstalls = 0;
};

TEST_F(AgentUpdate, ATriggerThatCannotBeWrittenInstallsNothingAndReportsTheUpdateFailed) {
    // A folder planted at the trigger's path is removed unfollowed and replaced.
    qvtest::writeFile(box.path("/tmp/qvupdate.trigger/inside"), "planted");
    run({{"updateAgent", "upd-p", "2.0.0"}});
    EXPECT_EQ(box.readFile("/tmp/qvupdate.trigger").rfind("upd-p\n", 0), 0u);

    // No folder to write it in: the update stops before the installer.
    fs::remove_all(box.path("/tmp"));
    qvtest::writeFile(box.path("/tmp"), "a file where the folder was");
    const auto log = run({{"updateAgent", "upd-w", "2.0.0"}});
    EXPECT_NE(log.find("ERROR Error writing update trigger: "), std::string::npos) << log;
    EXPECT_EQ(statuses("upd-w").back(), "failed");
    EXPECT_TRUE(tempFiles().size() == 1u);  // only upd-p's package, which was installed
    EXPECT_EQ(box.shimCalls().size(), 1u);
}

TEST_F(AgentUpdate, RoundTripCreatesDownloadsVerifiesInstallsAndAcknowledges) {
    const auto log = run({{"updateAgent", "upd-1", "2.0.0"}, {"uninstallAgent", {}, {}}});

    EXPECT_EQ(statuses("upd-1"), (std::vector<std::string>{"started", "downloadStarted"}));
    EXPECT_EQ(api().state()["agentUpdateRequests"]["upd-1"]["currentVersion"],
              App::Core::Metadata::version());
    EXPECT_EQ(completedActions(), json::parse(R"(["updateAgent"])"));
    EXPECT_EQ(uninstalls, 1);

    const auto files = tempFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string pkg = files[0];
    EXPECT_EQ(box.readFile("/tmp/qvupdate.trigger"), "upd-1\n" + pkg);
    EXPECT_EQ(qvtest::readFile(pkg), "Quorvel agent package for update upd-1\n");
    EXPECT_EQ(box.shimCalls(), (std::vector<std::string>{"installer -pkg " + pkg + " -target /"}));
    for (const char* line :
         {"INFO Processing pending action 'updateAgent'", "INFO Writing update trigger file",
          "INFO update trigger exists", "INFO Output String: installer: Package name is Quorvel\n",
          "INFO 'updateAgent' pending action processed successfully."}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    EXPECT_NE(log.find("INFO Installing pkg from path: " + pkg), std::string::npos);

    // The next start closes the update (checked end to end with the real binary).
    checkForAgentUpdateInProgress();
    EXPECT_FALSE(fs::exists(pkg));
    EXPECT_EQ(statuses("upd-1").back(), "completed");

    // Without a trigger file nothing is sent.
    const auto sent = api().requests().size();
    checkForAgentUpdateInProgress();
    EXPECT_EQ(api().requests().size(), sent);
}

TEST_F(AgentUpdate, WrongOrUpperCaseDigestAndCutDownloadLeaveNoPackageAndAreNotAcknowledged) {
    api().setState({{"agentUpdates",
                     {{"upd-w", {{"payloadDigest", "wrong"}}},
                      {"upd-u", {{"payloadDigest", "uppercase"}}},
                      {"upd-c", {{"cutDownload", true}, {"package", std::string(200000, 'x')}}}}}});
    const auto log = run({{"updateAgent", "upd-w", "2.0.0"},
                          {"updateAgent", "upd-u", "2.0.0"},
                          {"updateAgent", "upd-c", "2.0.0"}});

    const std::vector<std::string> verificationFailed{"started", "downloadStarted",
                                                      "verificationFailed"};
    EXPECT_EQ(statuses("upd-w"), verificationFailed);
    EXPECT_EQ(statuses("upd-u"), verificationFailed);
    EXPECT_EQ(statuses("upd-c"),
              (std::vector<std::string>{"started", "downloadStarted", "downloadFailed"}));
    EXPECT_TRUE(tempFiles().empty());
    EXPECT_FALSE(box.exists("/tmp/qvupdate.trigger"));
    EXPECT_TRUE(box.shimCalls().empty());
    EXPECT_TRUE(completedActions().is_null());
    const std::string failedLine = "INFO 'updateAgent' pending action processing failed.";
    std::size_t failures = 0;
    for (auto at = log.find(failedLine); at != std::string::npos; at = log.find(failedLine, at + 1))
        ++failures;
    EXPECT_EQ(failures, 3u) << log;
    EXPECT_NE(log.find("INFO Agent update download failed: "), std::string::npos) << log;
}

TEST_F(AgentUpdate, InstallerOutputAloneDecidesAndAFailureCleansUpAndReportsTheTriggersRequest) {
    // The sentence among other text, with a failing exit status: success.
    std::string pkg = plantUpdate("upd-ok");
    box.setShimAnswer(
        "installer", "\n  installer: Preparing\ninstaller: The upgrade was successful. Done  \n\n");
    box.setShimExit("installer", 1);
    bool ok = false;
    auto log = qvtest::stdoutOf([&] { ok = installPkg(pkg, "upd-ok"); });
    EXPECT_TRUE(ok);
    EXPECT_NE(log.find("INFO Output String: installer: Preparing\ninstaller: The upgrade was "
                       "successful. Done\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(box.exists("/tmp/qvupdate.trigger"));
    EXPECT_TRUE(fs::exists(pkg));

    // Without the exact sentence, with exit status 0: failure, cleaned up, and
    // the request named in the trigger file is the one marked failed.
    pkg = plantUpdate("upd-bad");
    box.setShimAnswer("installer", "installer: The upgrade was successful");
    box.setShimExit("installer", 0);
    log = qvtest::stdoutOf([&] { ok = installPkg(pkg, "some-other-id"); });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(box.exists("/tmp/qvupdate.trigger"));
    EXPECT_FALSE(fs::exists(pkg));
    const auto failed = statusRecords("upd-bad");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0], json::parse(R"({"status": "failed",
                                         "errorMessage": "Failed to install the new Agent update."})"));
    EXPECT_TRUE(statuses("some-other-id").empty());

    // A chatty installer (more than a pipe holds, on both streams) is drained
    // while it runs; only its last MiB is kept, where the verdict stands.
    pkg = plantUpdate("upd-chatty");
    std::string chatter;
    while (chatter.size() < 1024 * 1024)
        chatter += "installer: writing files ...\n";
    box.setShimAnswer("installer", chatter + "installer: The upgrade was successful.\n");
    box.writeFile("/.shim/installer.stderr", chatter);
    log = qvtest::stdoutOf([&] { ok = installPkg(pkg, "upd-chatty"); });
    EXPECT_TRUE(ok);
    EXPECT_GT(log.size(), platform::kMaxProcessOutput);
    EXPECT_LT(log.size(), platform::kMaxProcessOutput + 64 * 1024);
}

TEST_F(AgentUpdate, MissingPackageOrInstallerFailsWithoutRunningItAndReportsTheRequest) {
    plantUpdate("upd-gone");
    const std::string missing = box.path(kTempFolder) + "/update-missing.pkg";
    bool ok = true;
    auto log = qvtest::stdoutOf([&] { ok = installPkg(missing, "upd-gone"); });
    EXPECT_FALSE(ok);
    EXPECT_NE(log.find("ERROR Package not found at " + missing), std::string::npos) << log;
    EXPECT_TRUE(box.shimCalls().empty());
    EXPECT_EQ(statuses("upd-gone"), (std::vector<std::string>{"failed"}));
    EXPECT_FALSE(box.exists("/tmp/qvupdate.trigger"));

    const std::string pkg = plantUpdate("upd-noinstaller");
    fs::remove(box.path("/usr/sbin/installer"));
    log = qvtest::stdoutOf([&] { ok = installPkg(pkg, "upd-noinstaller"); });
    EXPECT_FALSE(ok);
    EXPECT_NE(log.find("ERROR Error installing pkg: "), std::string::npos) << log;
    EXPECT_EQ(statuses("upd-noinstaller"), (std::vector<std::string>{"failed"}));
    EXPECT_FALSE(fs::exists(pkg));
}

TEST_F(AgentUpdate, PlantedTriggerFilesNeverMakeTheDaemonDeleteWhatTheyName) {
    const std::string victim = box.path("/Library/victim.pkg");
    const std::string elsewhere = box.path("/elsewhere/trigger");
    qvtest::writeFile(victim, "precious");
    qvtest::writeFile(elsewhere, "upd-p\n" + victim);
    const std::string trigger = box.path("/tmp/qvupdate.trigger");

    auto plantLink = [&] { fs::create_symlink(elsewhere, trigger); };
    auto plantGroupWritable = [&] {
        qvtest::writeFile(trigger, "upd-p\n" + victim);
        ::chmod(trigger.c_str(), 0664);
    };
    std::vector<std::function<void()>> plants{plantLink, plantGroupWritable};
    if (::geteuid() == 0) {
        plants.push_back([&] {
            qvtest::writeFile(trigger, "upd-p\n" + victim);
            ::chmod(trigger.c_str(), 0644);
            ASSERT_EQ(::chown(trigger.c_str(), 65534, 65534), 0);
        });
    }
    for (auto& plant : plants) {
        plant();
        auto log = qvtest::stdoutOf([] { checkForAgentUpdateInProgress(); });
        EXPECT_NE(log.find("ERROR Untrusted update trigger file "), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(fs::symlink_status(trigger)));
        EXPECT_EQ(qvtest::readFile(victim), "precious");
        EXPECT_TRUE(fs::exists(elsewhere));
    }
    EXPECT_TRUE(api().requests().empty());

    // The installer's failure clean-up reports the request it was started for
    // and leaves the named file alone.
    plantGroupWritable();
    qvtest::stdoutOf([&] { installPkg(box.path("/none.pkg"), "upd-arg"); });
    EXPECT_EQ(qvtest::readFile(victim), "precious");
    EXPECT_EQ(statuses("upd-arg"), (std::vector<std::string>{"failed"}));
    EXPECT_TRUE(statuses("upd-p").empty());
}

}  // namespace
