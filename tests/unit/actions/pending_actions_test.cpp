// The pending-action dispatcher with stand-in handlers, and the reading of the
// update trigger file and the package removal on real files.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "daemon/actions/agent_update.h"
#include "daemon/actions/pending_actions.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/diagnostic_log.h"
#include "daemon/core/globals.h"
#include "platform/system_root.h"
#include "support/checks.h"
#include "support/log_capture.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using namespace QVAgentLaunchDaemon;

using qvtest::logEntriesOf;

class InSandboxRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root.str() + "/tmp");
        qvtest::useRoot(root.str());
        ENABLE_DIAGNOSTIC_LOGS = true;
    }
    void TearDown() override {
        ENABLE_DIAGNOSTIC_LOGS = false;
        qvtest::restoreScratchRoot();
    }
    std::string diagnostics() const {
        return std::filesystem::exists(diagnosticLogPath()) ? qvtest::readFile(diagnosticLogPath())
                                                            : "";
    }
    std::string trigger() const { return root.str() + "/tmp/qvupdate.trigger"; }

    qvtest::TempDir root;
};

// ---- Dispatcher ---------------------------------------------------------------

class Dispatcher : public InSandboxRoot {
  protected:
    std::vector<std::string> events;
    std::function<bool(const std::string&, const std::string&)> update = [](auto&, auto&) {
        return true;
    };
    std::function<void()> uninstallBody = [] {};
    std::function<void()> ackBody = [] {};

    PendingActionHandlers handlers() {
        return {[this](const std::string& id, const std::string& version) {
                    events.push_back("update " + id + " " + version);
                    return update(id, version);
                },
                [this](const std::string& type) {
                    events.push_back("ack " + type);
                    ackBody();
                },
                [this] {
                    events.push_back("uninstall");
                    uninstallBody();
                }};
    }
    std::vector<std::string> run(const std::vector<PendingActionDTO>& actions) {
        return logEntriesOf([&] { processPendingActions(actions, handlers()); });
    }
};

TEST_F(Dispatcher, FailedUninstallAndUnknownOrWronglyCasedTypesAreDiagnosticErrors) {
    uninstallBody = [] { throw CustomError("Uninstall already in progress."); };
    auto log = run({{"uninstallAgent", {}, {}},
                    {"rebootComputer", {}, {}},
                    {"UpdateAgent", "upd-1", "2.0.0"}});
    EXPECT_EQ(events, (std::vector<std::string>{"uninstall"}));  // nothing acknowledged
    EXPECT_TRUE(log.empty());
    const auto diag = diagnostics();
    const auto uninstallError =
        diag.find("\u274C - Error uninstalling: Uninstall already in progress.");
    const auto reboot = diag.find("\u274C - Unsupported pending action type: rebootComputer");
    const auto cased = diag.find("\u274C - Unsupported pending action type: UpdateAgent");
    ASSERT_NE(cased, std::string::npos) << diag;
    EXPECT_LT(uninstallError, reboot);
    EXPECT_LT(reboot, cased);
}

TEST_F(Dispatcher, EachUpdateRunsToItsEndFailuresAreLoggedAndOnlySuccessIsAcknowledged) {
    int call = 0;
    update = [&](auto&, auto&) {
        ++call;
        if (call == 1)
            return false;
        if (call == 2)
            throw CustomError("Request to /agentUpdateRequests answered status 500");
        return true;
    };
    ackBody = [&] {
        if (call == 3)
            throw std::runtime_error("acknowledgement refused");
    };
    auto log = run({{"updateAgent", "a", "2"},
                    {"updateAgent", "b", "2"},
                    {"updateAgent", "c", "2"},
                    {"updateAgent", {}, "2"},
                    {"updateAgent", "e", {}},
                    {"updateAgent", "f", "2"},
                    {"uninstallAgent", {}, {}}});
    EXPECT_EQ(events,
              (std::vector<std::string>{"update a 2", "update b 2", "update c 2", "ack updateAgent",
                                        "update f 2", "ack updateAgent", "uninstall"}));
    const std::string processing = "INFO Processing pending action 'updateAgent'";
    EXPECT_EQ(log,
              (std::vector<std::string>{
                  processing, "INFO 'updateAgent' pending action processing failed.", processing,
                  "ERROR Failed to process pending action: Request to /agentUpdateRequests "
                  "answered status 500",
                  processing, "INFO 'updateAgent' pending action processed successfully.",
                  "ERROR Failed to process pending action: acknowledgement refused", processing,
                  "ERROR Failed to process pending action: 'updateAgent' lacks value", processing,
                  "ERROR Failed to process pending action: 'updateAgent' lacks display", processing,
                  "INFO 'updateAgent' pending action processed successfully."}));
    EXPECT_NE(diagnostics().find("\u2705 - Pending uninstall action completed."),
              std::string::npos);
}

TEST_F(Dispatcher, ControlCharactersNeverReachTheTriggerFileAndOneRunPerUpdateId) {
    // Each would add a line to the trigger file (or hide in one) if it got through.
    for (const std::string& bad :
         std::vector<std::string>{"\n", "\r", "\x0B", "\x0C", "\xC2\x85", "\xE2\x80\xA8",
                                  "\xE2\x80\xA9", "\t", std::string(1, '\0'), "\x1F"}) {
        events.clear();
        auto log = run({{"updateAgent", "upd-1" + bad + "/etc/passwd", "2"},
                        {"updateAgent", "upd-2", "2" + bad}});
        EXPECT_TRUE(events.empty());
        ASSERT_EQ(log.size(), 4u);
        EXPECT_EQ(log[1],
                  "ERROR Failed to process pending action: 'updateAgent' value holds a "
                  "control character");
        EXPECT_EQ(log[3],
                  "ERROR Failed to process pending action: 'updateAgent' display holds "
                  "a control character");
    }

    // A second fetch lists the update again while its installation still runs.
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> runs{0};
    update = [&](const std::string& id, auto&) {
        ++runs;
        if (id == "upd-7")
            released.wait();
        return true;
    };
    std::thread first([&] { processPendingActions({{"updateAgent", "upd-7", "2"}}, handlers()); });
    ASSERT_TRUE(qvtest::eventually([&] { return runs == 1; }));
    auto log = run({{"updateAgent", "upd-7", "2"}, {"updateAgent", "upd-8", "2"}});
    release.set_value();
    first.join();
    EXPECT_EQ(runs, 2);  // the first upd-7 and upd-8
    EXPECT_EQ(log[1], "INFO Agent update upd-7 is already in progress; skipped.");
    run({{"updateAgent", "upd-7", "2"}});  // a finished run frees its id
    EXPECT_EQ(runs, 3);
}

// ---- Trigger file and digest ------------------------------------------------

using TriggerFile = InSandboxRoot;

TEST_F(TriggerFile, SplitsAtEveryUnicodeNewlineCharacter) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitAtNewlines("a\r\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(splitAtNewlines("a\x0B"
                              "b\x0C"
                              "c\xC2\x85"
                              "d\xE2\x80\xA8"
                              "e\xE2\x80\xA9"
                              "f"),
              (V{"a", "b", "c", "d", "e", "f"}));
    EXPECT_EQ(splitAtNewlines(""), (V{""}));
    EXPECT_EQ(splitAtNewlines("\xC3\xA9\xE2\x80\xA6"), (V{"\xC3\xA9\xE2\x80\xA6"}));  // é…

    for (const auto& [content, id, path] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"upd-1\r\n/p.pkg", "upd-1", ""}, {"upd-1", "upd-1", ""}, {"", "", ""}}) {
        qvtest::writeFile(trigger(), content);
        ::chmod(trigger().c_str(), 0644);
        auto read = readUpdateTrigger();
        ASSERT_TRUE(read) << content;
        EXPECT_EQ(read->agentUpdateRequestId, id);
        EXPECT_EQ(read->packagePath, path);
    }
}

TEST_F(TriggerFile, PackageRemovalSparesFoldersAndLinkTargetsAndAFolderIsNoPackage) {
    const auto folder = root.str() + "/folder.pkg";
    const auto target = root.str() + "/target";
    const auto link = root.str() + "/link.pkg";
    std::filesystem::create_directories(folder);
    qvtest::writeFile(target, "precious");
    std::filesystem::create_symlink(target, link);
    removeUpdatePackage(folder);
    removeUpdatePackage(link);
    removeUpdatePackage(target);  // a regular file, but outside the temp folder
    removeUpdatePackage("");
    EXPECT_TRUE(std::filesystem::exists(folder));
    const auto temp = root.str() + "/Library/Application Support/Tessaly/Quorvel/temp";
    qvtest::writeFile(temp + "/update-1.pkg", "package");
    removeUpdatePackage(temp + "/../temp/./update-1.pkg");
    EXPECT_FALSE(std::filesystem::exists(temp + "/update-1.pkg"));
    std::vector<std::string> log;
    log = logEntriesOf([&] { EXPECT_FALSE(verifyFileHash(folder, "")); });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("ERROR Error when verifying the file hash for agent update: ", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(qvtest::readFile(target), "precious");
}

}  // namespace
