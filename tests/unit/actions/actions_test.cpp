// What the server's requests set off: the pending-action dispatcher with
// stand-in handlers, the update trigger file's reading, and the uninstall
// sequence in a world whose API, MDM agent and Support App misbehave in turn,
// every wait going through a recording sleeper.

#include <array>

#include "daemon/actions/agent_update.h"
#include "daemon/actions/pending_actions.h"
#include "daemon/actions/uninstall.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/diagnostic_log.h"
#include "daemon/watchers/trigger_watcher.h"
#include "unit/world.h"

namespace {

using namespace QVAgentLaunchDaemon;
using Lines = std::vector<std::string>;
using Actions = qvtest::World;

TEST_F(Actions, EachRunsToItsEndOnceAtATimeAndOnlyASucceededUpdateIsAcknowledged) {
    Lines events;
    PendingActionHandlers handlers;
    handlers.updateAgent = [&](const std::string& id, auto&) {
        events.push_back(id);
        if (id == "again")  // listed again by a fetch while it still runs
            processPendingActions({{"updateAgent", "again", "2"}}, handlers);
        if (id == "throws")
            throw CustomError("answered 500");
        return id != "fails";
    };
    handlers.pendingActionCompleted = [&](auto&) {
        if (events.emplace_back("ack"), events.size() == 6)
            throw std::runtime_error("refused");
    };
    handlers.uninstall = [&] {
        if (events.emplace_back("uninstall"), events.size() == 2)
            throw CustomError("busy");
    };
    const std::string processing = "INFO Processing pending action 'updateAgent'",
                      failed = "ERROR Failed to process pending action: ",
                      succeeded = "INFO 'updateAgent' pending action processed successfully.",
                      skipped = "INFO Agent update again is already in progress; skipped.",
                      lacks = failed + "'updateAgent' lacks ", control = failed + "'updateAgent' ";
    // Each action as listed, and the text log's lines for it (an uninstall and
    // an unsupported type write to the diagnostic log only).
    // clang-format off
    const std::vector<std::pair<PendingActionDTO, Lines>> steps = {
        {{"uninstallAgent", {}, {}}, {}},
        {{"uninstallAgent", {}, {}}, {}},
        {{"UpdateAgent", "a", "2"}, {}},
        {{"updateAgent", "fails", "2"}, {processing, "INFO 'updateAgent' pending action processing failed."}},
        {{"updateAgent", "throws", "2"}, {processing, failed + "answered 500"}},
        {{"updateAgent", "again", "2 b"}, {processing, processing, skipped, succeeded, failed + "refused"}},
        {{"updateAgent", {}, {}}, {processing, lacks + "value and display"}},
        {{"updateAgent", {}, "2"}, {processing, lacks + "value"}},
        {{"updateAgent", "e", {}}, {processing, lacks + "display"}},
        {{"updateAgent", "again", "2"}, {processing, processing, skipped, succeeded}},
        // Control characters could add lines to the trigger file.
        {{"updateAgent", "a\x1F", "2"}, {processing, control + "value holds a control character"}},
        {{"updateAgent", "a\xE2\x80\xA8", "2"}, {processing, control + "value holds a control character"}},
        {{"updateAgent", "a", "2\r"}, {processing, control + "display holds a control character"}}};
    // clang-format on
    std::vector<PendingActionDTO> listed;
    Lines expected;
    for (const auto& [action, lines] : steps) {
        listed.push_back(action);
        expected.insert(expected.end(), lines.begin(), lines.end());
    }
    const auto log = qvtest::logEntriesOf([&] { processPendingActions(listed, handlers); });
    EXPECT_EQ(events,
              (Lines{"uninstall", "uninstall", "fails", "throws", "again", "ack", "again", "ack"}));
    EXPECT_EQ(log, expected);
    const std::string diagnostics = qvtest::readFile(diagnosticLogPath());
    for (const char* entry :
         {"\u2705 - Pending uninstall action completed.\n", "\u274C - Error uninstalling: busy\n",
          "\u274C - Unsupported pending action type: UpdateAgent\n"})
        EXPECT_NE(diagnostics.find(entry), std::string::npos) << entry;
}

TEST_F(Actions, TheUpdateTriggerIsSplitAtEveryNewlineIntoTheRequestIdAndThePackagePath) {
    // clang-format off
    for (const auto& [text, pieces] : std::vector<std::pair<std::string, Lines>>{
            {"a\r\nb", {"a", "", "b"}}, {"", {""}},
            {"\xC3\xA9\xE2\x80\xA6\xC2", {"\xC3\xA9\xE2\x80\xA6\xC2"}},  // é…, a lone lead byte
            {"a\vb\fc\xC2\x85g\xE2\x80\xA8h\xE2\x80\xA9i", {"a", "b", "c", "g", "h", "i"}}})
        EXPECT_EQ(splitAtNewlines(text), pieces) << text;
    for (const auto& [content, id, path] : std::vector<std::array<std::string, 3>>{
            {"upd-1\r\n/p.pkg", "upd-1", ""}, {"upd-1\n/p\nx", "upd-1", "/p"}, {"u", "u", ""}}) {
        // clang-format on
        put("/tmp/qvupdate.trigger", content);
        ::chmod(file("/tmp/qvupdate.trigger").c_str(), 0600);
        const auto trigger = readUpdateTrigger();
        ASSERT_TRUE(trigger) << content;
        EXPECT_EQ(Lines({trigger->agentUpdateRequestId, trigger->packagePath}), Lines({id, path}));
    }
}

const std::string kAgent = "/Library/LaunchAgents/nl.root3.support.plist",
                  kPrefs = "/Library/Preferences/nl.root3.support.plist",
                  kLoaded = "/.shim/launchctl.loaded", kLabel = "nl.root3.support\n",
                  kTrigger = std::string(kTriggerFolder) + "/uninstall.trigger";

struct Row {
    const char* name;
    int deleteStatus;  // the MDM service's answer
    bool enrolled, pingDrops, removalScript;
    std::vector<std::pair<std::string, std::string>> files;
    std::string error;
    long long slept;
    std::size_t deletes, pings;
    const char* line;  // a line of the text log, and how often it is written
    int times;
};

// clang-format off
const Row kRows[] = {
    {"EverythingAnswers", 204, true, false, false, {}, "", 0, 1, 1,
     "INFO Support app preferences plist deleted", 1},
    {"MdmRemovalRefusedItsScriptRemovesIt", 200, true, false, true, {}, "", 8000, 4, 1,
     "ERROR Attempt to send Addigy uninstall command failed", 4},
    {"NotEnrolled", 204, false, false, false, {}, "", 8000, 0, 0,
     "ERROR Error: Could not get computer id when uninstalling Addigy", 4},
    {"MdmFolderNeverVanishes", 500, true, false, false, {{"/Library/Addigy/x", ""}},
     "Addigy was not deleted in time.", 8000 + 300000, 4, 0,
     "INFO Attempt to send Addigy uninstall command", 4},
    {"LaunchAgentStopsAtOnce", 204, true, false, false,
     {{kLoaded, kLabel}, {kAgent, ""}, {kPrefs, ""}}, "", 0, 1, 1,
     "INFO Attempt to stop support app launch agent", 1},
    {"LaunchAgentStaysLoaded", 204, true, false, false, {{kLoaded, kLabel},
     {"/.shim/launchctl.sticky", kLabel}}, "Failed to stop support app", 10000, 1, 0,
     "INFO Attempt failed to stop support app launch agent", 10},
    {"PreferencesCannotBeRemoved", 204, true, false, false, {{kPrefs + "/x", ""}},
     "Support App preferences plist was not deleted", 0, 1, 0,
     "INFO Support app launch agent plist deleted", 1},
    {"PingFailsSixTimes", 204, true, true, false, {}, "", 12000, 1, 6,
     "INFO Problem uninstalling computer in API.", 6},
};
// clang-format on

class Uninstall : public qvtest::World, public testing::WithParamInterface<Row> {};

class RecordingSleeper : public platform::Sleeper {
  public:
    void sleepFor(std::chrono::milliseconds duration) override { total += duration.count(); }
    long long total = 0;
};

TEST_P(Uninstall, TriesEachStepItsNumberOfTimesWaitsAsLongAndRunsOnlyOnceAtATime) {
    const Row& row = GetParam();
    answer("DELETE", "/addigy/computer/cmp-7", row.deleteStatus, "not json");
    if (row.pingDrops)
        api.addFault({{"method", "POST"},
                      {"path", "/computers/manualUninstall"},
                      {"kind", "drop"},
                      {"count", -1}});
    answer("POST", "/computers/manualUninstall", 500, std::string(100, 'x'));  // any will do
    for (const char* key : {"computerId", "agentId", "adminPortalBaseUrl"})
        (void)platform::Preferences::setValue(
            key, row.enrolled ? "cmp-7" : std::optional<std::string>(), BUNDLE_ID);
    if (!row.enrolled)
        authorizationToken.set(std::nullopt);
    if (row.removalScript)
        qvtest::installStandIn(root.str(), "remove_agent.sh", "/Library/Addigy/remove_agent.sh");
    for (const auto& [path, content] : row.files)
        put(path, content);
    put(kTrigger);
    RecordingSleeper sleeper;
    std::string error;
    const auto log = qvtest::logEntriesOf([&] {
        try {
            uninstall(sleeper);
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(sleeper.total, row.slept);
    EXPECT_EQ(requests("DELETE", "/addigy/computer/cmp-7"), row.deletes);
    EXPECT_EQ(requests("POST", "/computers/manualUninstall"), row.pings);
    EXPECT_EQ(std::count(log.begin(), log.end(), row.line), row.times)
        << testing::PrintToString(log);
    EXPECT_FALSE(exists(kTrigger));
    if (row.error.empty()) {
        EXPECT_FALSE(platform::Preferences::copyValue("computerId", BUNDLE_ID));
        EXPECT_FALSE(exists(kAgent) || exists(kPrefs) || read(kLoaded) != "");
        EXPECT_TRUE(qvtest::eventually(
            [&] { return read("/.shim/calls.log").ends_with("--forget com.tessaly.Quorvel\n"); }));
    }
    // The flag stays taken, by a finished run or a failed one: the caller decides.
    EXPECT_EQ(qvtest::logEntriesOf([&] { uninstall(sleeper); }).back(),
              "INFO Agent uninstall is already in progress.");
    EXPECT_EQ(requests("DELETE", "/addigy/computer/cmp-7"), row.deletes);
}

INSTANTIATE_TEST_SUITE_P(When, Uninstall, testing::ValuesIn(kRows),
                         [](const auto& test) { return test.param.name; });

TEST_F(Actions, AFailedUninstallReleasesTheFlagSoALaterRequestCanRetry) {
    answer("DELETE", "/addigy/computer/cmp-7", 204);
    (void)platform::Preferences::setValue("computerId", "cmp-7", BUNDLE_ID);
    put(kPrefs + "/x");  // a folder: each run fails there
    put(kTrigger);
    qvtest::stdoutOf([] {
        handleTriggerFolderChange(kTriggerFolder);
        platform::Tasks::waitIdle(std::chrono::seconds(10));
        EXPECT_THROW(uninstallReleasingGuardOnFailure(), std::exception);
    });
    EXPECT_FALSE(isUninstallProcessActive);
    EXPECT_EQ(requests("DELETE", "/addigy/computer/cmp-7"), 2u);
}

}  // namespace
