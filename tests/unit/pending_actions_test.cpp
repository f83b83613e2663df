// The pending-action dispatcher with stand-in handlers, and the reading of the
// update trigger file and the package removal on real files.

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "daemon/agent_update.h"
#include "daemon/custom_error.h"
#include "daemon/diagnostic_log.h"
#include "daemon/globals.h"
#include "daemon/pending_actions.h"
#include "platform/system_root.h"
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
    removeUpdatePackage("");
    EXPECT_TRUE(std::filesystem::exists(folder));
    std::vector<std::string> log;
    log = logEntriesOf([&] { EXPECT_FALSE(verifyFileHash(folder, "")); });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("ERROR Error when verifying the file hash for agent update: ", 0), 0u);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(qvtest::readFile(target), "precious");
}

}  // namespace
