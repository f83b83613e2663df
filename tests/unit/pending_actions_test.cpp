// The pending-action dispatcher with stand-in handlers, the framework's update
// sequence with recording callbacks, and the trigger file and digest helpers
// on real files.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "daemon/agent_update.h"
#include "daemon/custom_error.h"
#include "daemon/diagnostic_log.h"
#include "daemon/globals.h"
#include "daemon/pending_actions.h"
#include "keelbase/agent.h"
#include "platform/system_root.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using namespace QVAgentLaunchDaemon;

using qvtest::logEntriesOf;

class InSandboxRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root.str() + "/tmp");
        platform::SystemRoot::set(root.str());
        ENABLE_DIAGNOSTIC_LOGS = true;
    }
    void TearDown() override {
        ENABLE_DIAGNOSTIC_LOGS = false;
        platform::SystemRoot::set("/");
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

TEST_F(Dispatcher, UpdateRunsToItsAcknowledgementBeforeTheUninstallStarts) {
    auto log = run({{"updateAgent", "upd-1", "2.0.0"}, {"uninstallAgent", {}, {}}});
    EXPECT_EQ(events,
              (std::vector<std::string>{"update upd-1 2.0.0", "ack updateAgent", "uninstall"}));
    EXPECT_EQ(log, (std::vector<std::string>{
                       "INFO Processing pending action 'updateAgent'",
                       "INFO 'updateAgent' pending action processed successfully."}));
    EXPECT_NE(diagnostics().find("\u2705 - Pending uninstall action completed."),
              std::string::npos);
}

TEST_F(Dispatcher, UnknownAndWronglyCasedTypesAreLoggedAsErrorsAndSendNothing) {
    auto log = run({{"rebootComputer", {}, {}}, {"UpdateAgent", "upd-1", "2.0.0"}});
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(log.empty());
    const auto diag = diagnostics();
    EXPECT_NE(diag.find("\u274C - Unsupported pending action type: rebootComputer"),
              std::string::npos);
    EXPECT_NE(diag.find("\u274C - Unsupported pending action type: UpdateAgent"),
              std::string::npos);
}

TEST_F(Dispatcher, FailedThrowingAndUnacknowledgedUpdatesAreLoggedAndTheNextActionRuns) {
    int call = 0;
    update = [&](auto&, auto&) {
        ++call;
        if (call == 1)
            return false;
        if (call == 2)
            throw CustomError("Request to /agentUpdateRequests answered status 500");
        return true;
    };
    ackBody = [] { throw std::runtime_error("acknowledgement refused"); };
    auto log = run({{"updateAgent", "a", "2"},
                    {"updateAgent", "b", "2"},
                    {"updateAgent", "c", "2"},
                    {"uninstallAgent", {}, {}}});
    EXPECT_EQ(events, (std::vector<std::string>{"update a 2", "update b 2", "update c 2",
                                                "ack updateAgent", "uninstall"}));
    EXPECT_EQ(log, (std::vector<std::string>{
                       "INFO Processing pending action 'updateAgent'",
                       "INFO 'updateAgent' pending action processing failed.",
                       "INFO Processing pending action 'updateAgent'",
                       "ERROR Failed to process pending action: Request to /agentUpdateRequests "
                       "answered status 500",
                       "INFO Processing pending action 'updateAgent'",
                       "INFO 'updateAgent' pending action processed successfully.",
                       "ERROR Failed to process pending action: acknowledgement refused"}));
}

TEST_F(Dispatcher, UpdateWithoutRequestIdOrVersionIsNeverStarted) {
    auto log = run({{"updateAgent", {}, "2.0.0"}, {"updateAgent", "upd-1", {}}});
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(log, (std::vector<std::string>{
                       "INFO Processing pending action 'updateAgent'",
                       "ERROR Failed to process pending action: 'updateAgent' lacks value",
                       "INFO Processing pending action 'updateAgent'",
                       "ERROR Failed to process pending action: 'updateAgent' lacks display"}));
}

TEST_F(Dispatcher, FailedUninstallIsADiagnosticErrorAndIsNotAcknowledged) {
    uninstallBody = [] { throw CustomError("Uninstall already in progress."); };
    run({{"uninstallAgent", {}, {}}, {"rebootComputer", {}, {}}});
    EXPECT_EQ(events, (std::vector<std::string>{"uninstall"}));
    const auto diag = diagnostics();
    EXPECT_NE(diag.find("\u274C - Error uninstalling: Uninstall already in progress."),
              std::string::npos);
    EXPECT_LT(diag.find("Error uninstalling"), diag.find("Unsupported pending action type"));
}

// ---- Framework update sequence --------------------------------------------

struct UpdateRun {
    std::vector<std::string> calls;
    bool downloadThrows = false;
    bool verifies = true;
    bool statusReportsThrow = false;
    bool installs = true;

    bool operator()() {
        auto status = [this](const char* name) {
            return [this, name](const std::string& id) {
                calls.push_back(std::string(name) + " " + id);
                if (statusReportsThrow)
                    throw std::runtime_error("status refused");
            };
        };
        return Keelbase::Lib::Agent::update(
            "upd-1", "1.0.0", "2.0.0",
            [this](const std::string& id, const std::string& version) {
                calls.push_back("create " + id + " " + version);
                return Keelbase::Lib::AgentUpdateRequests::Entity{"aur-1", "2.0.0",
                                                                  "http://h/p.pkg", "abc"};
            },
            [this](const std::string& url) -> std::string {
                calls.push_back("download " + url);
                if (downloadThrows)
                    throw std::runtime_error("cut short");
                return "/t/update-x.pkg";
            },
            [this](const std::string& path, const std::string& hash) {
                calls.push_back("verify " + path + " " + hash);
                return verifies;
            },
            [this](const std::string& path, const std::string& id) {
                calls.push_back("install " + path + " " + id);
                return installs;
            },
            [this](const std::string& path) { calls.push_back("delete " + path); },
            status("downloadStarted"), status("downloadFailed"), status("verificationFailed"),
            status("started"),
            [this](const std::string& id, const std::string&) { calls.push_back("failed " + id); },
            status("completed"),
            [this](const std::string& line) { calls.push_back("log " + line); },
            [this](const std::string& id, const std::string& path) {
                calls.push_back("trigger " + id + " " + path);
            });
    }
};

TEST(FrameworkUpdate, WritesTheTriggerBeforeInstallingAndReturnsTheInstallersResult) {
    UpdateRun run;
    run.installs = false;
    EXPECT_FALSE(run());
    EXPECT_EQ(run.calls,
              (std::vector<std::string>{
                  "create upd-1 1.0.0", "log Updating agent from 1.0.0 to 2.0.0", "started upd-1",
                  "downloadStarted upd-1", "download http://h/p.pkg", "verify /t/update-x.pkg abc",
                  "trigger upd-1 /t/update-x.pkg", "install /t/update-x.pkg upd-1"}));
}

TEST(FrameworkUpdate, FailedDownloadAndVerificationStopBeforeTheTrigger) {
    UpdateRun download;
    download.downloadThrows = true;
    EXPECT_FALSE(download());
    EXPECT_EQ(std::vector<std::string>(download.calls.end() - 3, download.calls.end()),
              (std::vector<std::string>{"download http://h/p.pkg",
                                        "log Agent update download failed: cut short",
                                        "downloadFailed upd-1"}));

    UpdateRun verify;
    verify.verifies = false;
    EXPECT_FALSE(verify());
    EXPECT_EQ(std::vector<std::string>(verify.calls.end() - 3, verify.calls.end()),
              (std::vector<std::string>{"verify /t/update-x.pkg abc", "verificationFailed upd-1",
                                        "delete /t/update-x.pkg"}));
}

TEST(FrameworkUpdate, FailedStatusReportsAreLoggedAndDoNotStopTheUpdate) {
    UpdateRun run;
    run.statusReportsThrow = true;
    EXPECT_TRUE(run());
    EXPECT_EQ(run.calls.back(), "install /t/update-x.pkg upd-1");
    EXPECT_EQ(run.calls[3], "log Failed to report agent update status started: status refused");
}

// ---- Trigger file and digest ------------------------------------------------

using TriggerFile = InSandboxRoot;

TEST_F(TriggerFile, IsWrittenWholeWithoutAFinalLineFeedAndReplacedByTheNextUpdate) {
    auto log = logEntriesOf([] { writeUpdateTriggerFile("upd-1", "/pkgs/one.pkg"); });
    EXPECT_EQ(qvtest::readFile(trigger()), "upd-1\n/pkgs/one.pkg");
    EXPECT_EQ(log, (std::vector<std::string>{"INFO Writing update trigger file",
                                             "INFO finished writing update trigger file"}));
    struct stat st {};
    ASSERT_EQ(::stat(trigger().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    writeUpdateTriggerFile("upd-2", "/p.pkg");
    EXPECT_EQ(qvtest::readFile(trigger()), "upd-2\n/p.pkg");
    auto read = readUpdateTrigger();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->agentUpdateRequestId, "upd-2");
    EXPECT_EQ(read->packagePath, "/p.pkg");
}

TEST_F(TriggerFile, FailedWriteIsAnErrorLineAndReturnsNormally) {
    std::filesystem::remove_all(root.str() + "/tmp");
    auto log = logEntriesOf([] { writeUpdateTriggerFile("upd-1", "/p.pkg"); });
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].rfind("ERROR Error writing update trigger: ", 0), 0u) << log[1];
}

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

TEST_F(TriggerFile, NotUtf8OrGroupWritableIsRemovedUnread) {
    for (auto [content, mode] : {std::pair<std::string, unsigned>{"upd\xFF\n/p.pkg", 0600},
                                 {"upd-1\n/p.pkg", 0620},
                                 {"upd-1\n/p.pkg", 0602}}) {
        qvtest::writeFile(trigger(), content);
        ::chmod(trigger().c_str(), mode);
        std::optional<UpdateTrigger> read;
        auto log = logEntriesOf([&] { read = readUpdateTrigger(); });
        EXPECT_FALSE(read);
        EXPECT_FALSE(std::filesystem::exists(trigger()));
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].rfind("ERROR Untrusted update trigger file ", 0), 0u) << log[0];
    }
}

TEST_F(TriggerFile, DigestIsLowerCaseHexComparedExactly) {
    const auto pkg = root.str() + "/p.pkg";
    qvtest::writeFile(pkg, "abc");
    const std::string hex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::string upper = hex;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    bool matched = false;
    auto log = logEntriesOf([&] { matched = verifyFileHash(pkg, hex); });
    EXPECT_TRUE(matched);
    EXPECT_EQ(log, (std::vector<std::string>{"INFO File hash detected: [" + hex + "]"}));
    EXPECT_FALSE(verifyFileHash(pkg, upper));

    log = logEntriesOf([&] { matched = verifyFileHash(root.str() + "/none.pkg", hex); });
    EXPECT_FALSE(matched);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("ERROR Error when verifying the file hash for agent update: ", 0), 0u);
}

TEST_F(TriggerFile, PackageRemovalSparesFoldersAndLinkTargets) {
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
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(qvtest::readFile(target), "precious");
}

}  // namespace
