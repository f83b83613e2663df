// The daemon's core: the backoff of both retries and the check-in schedule, the
// random source, one line per text-log call, the detached child, the diagnostic
// log and the bound of its entries, the token's origin, what escapes a task, and
// how the framework's gateways judge an answer.

#include <regex>

#include "daemon/configuration/configuration.h"
#include "daemon/core/backoff.h"
#include "daemon/core/diagnostic_log.h"
#include "daemon/core/shell.h"
#include "daemon/core/task_edge.h"
#include "daemon/main_task.h"
#include "daemon/watchers/config_watcher.h"
#include "keelbase/rest_gateways.h"
#include "keelbase/text_document.h"
#include "platform/process.h"
#include "platform/text.h"
#include "unit/world.h"

namespace {

using namespace QVAgentLaunchDaemon;
using Range = std::pair<std::int64_t, std::int64_t>;
constexpr auto kMax = std::numeric_limits<std::int64_t>::max(), kMin = -kMax - 1;

TEST(Arithmetic, BackoffDrawsFromClampedRangesScalesSaturatesAndCaps) {
    const BackoffSettings usual{270000, 30000, 3600000, 6};
    const std::int64_t top = (std::int64_t{1} << 62) - 1;
    using Row =
        std::tuple<const char*, BackoffSettings, std::int64_t, bool, Range, Range, std::int64_t>;
    // clang-format off
    for (const auto& [name, settings, collisions, high, slots, jitter, wait] : std::vector<Row>{
            {"first, lowest", usual, 1, false, {0, 1}, {0, 30001}, 0},
            {"first, highest", usual, 1, true, {0, 1}, {0, 30001}, 300001},
            {"past the ceiling, capped", usual, 7, true, {0, 63}, {0, 30001}, 3600000},
            {"clamped to 62", {kMax, kMax, kMax, 1000}, 1000, true, {0, top}, {0, kMax}, kMax},
            {"negative ceiling, jitter", {270000, -5, kMax, -3}, 4, true, {0, 0}, {0, 1}, 1},
            {"product saturated", {-kMax, 0, kMax, 62}, 62, true, {0, top}, {0, 1}, kMin + 1}}) {
        // clang-format on
        SCOPED_TRACE(name);
        qvtest::ExtremeRandom random(high);
        EXPECT_EQ(backoffInterval(settings, collisions, random), wait);
        EXPECT_EQ(random.ranges, (std::vector<Range>{slots, jitter}));
    }
}

TEST(Arithmetic, EnrollmentRetriesWaitSecondsAtMostFiveMinutes) {
    qvtest::ExtremeRandom high(true);
    EXPECT_EQ(enrollmentRetryInterval(1, high), 10001);
    EXPECT_EQ(enrollmentRetryInterval(50, high), 300000);
}

TEST(Arithmetic, ACheckInIsDueAfterItsIntervalOrWhenTheLastLiesInTheFuture) {
    using Row = std::tuple<const char*, std::int64_t, std::int64_t, std::int64_t, bool>;
    // clang-format off
    for (const auto& [name, last, interval, now, due] : std::vector<Row>{
            {"never checked in", -1, 3600000, 0, true}, {"within the hour", 0, 3600000, 3600000, false},
            {"past the hour", 0, 3600000, 3600001, true}, {"no wrap into the past", kMax - 1, kMax, kMax, false},
            {"the wall clock was set back", 3600001, 3600000, 3600000, true}}) {
        // clang-format on
        SCOPED_TRACE(name);
        EXPECT_EQ(isCheckInDue(last, interval, now), due);
    }
}

TEST(Random, UniformDrawsEveryValueOfItsRange) {
    std::set<std::int64_t> seen;
    for (int i = 0; i < 200; ++i)
        seen.insert(platform::SecureRandom::instance().uniform(-1, 1));
    EXPECT_EQ(seen, (std::set<std::int64_t>{-1, 0, 1}));
    EXPECT_EQ(platform::SecureRandom::instance().uniform(7, 7), 7);
}

TEST(TextLog, OneCallIsOneLineAndBackslashesStayAsTheyAre) {
    using namespace std::string_literals;
    // clang-format off
    for (const auto& [message, written] : std::vector<std::pair<std::string, std::string>>{
            {"a\nb", R"(a\nb)"}, {"a\rb", R"(a\rb)"}, {"a\r\nb", R"(a\r\nb)"}, {"a\tb", R"(a\tb)"},
            {"\v\f", R"(\u000b\u000c)"}, {"\x1b[31m", R"(\u001b[31m)"}, {"\0\x7f"s, R"(\u0000\u007f)"},
            {"a\u0085b", R"(a\u0085b)"}, {"a\u2028b\u2029", R"(a\u2028b\u2029)"},
            {"KEY\\nACME\\nHQ", "KEY\\nACME\\nHQ"},                        // backslash sequences kept
            {"caf\u00e9 \u2705 \u2026 \u2027", "caf\u00e9 \u2705 \u2026 \u2027"},  // plain UTF-8 kept
            {"\x85 \xe2\x80 \xc2", "\x85 \xe2\x80 \xc2"}}) {               // not UTF-8: as is
        // clang-format on
        SCOPED_TRACE(written);
        const auto entry = Keelbase::Adapters::Logging::TextDocument::formatEntry("ERROR", message);
        EXPECT_EQ(entry.substr(entry.find(' ') + 1), "ERROR " + written);
    }
}

using Core = qvtest::World;

TEST_F(Core, DiagnosticsFollowTheirSwitchAndTheirFormat) {
    const std::string logs = "/Library/Application Support/Tessaly/Quorvel/logs";
    ENABLE_DIAGNOSTIC_LOGS = false;
    log(platform::Json::object(), true);
    EXPECT_FALSE(exists(logs));
    ENABLE_DIAGNOSTIC_LOGS = true;
    startFormatted = formatStartTime(
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1765054260123)));
    log("ordinary");
    log(platform::Json::parse(R"({"code":401})"), true);
    const std::string date = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ: )";
    EXPECT_TRUE(std::regex_match(
        read(logs + "/diagnostic-20251206T205100.123.log"),
        std::regex(date + "\u2705 - ordinary\n" + date + "\u274C - \\{\n  \"code\": 401\n\\}\n")));
    // A text log whose folder cannot be made says why.
    std::filesystem::remove_all(file(logs));
    put(logs);
    EXPECT_EQ(
        qvtest::stderrOf([] { Keelbase::Adapters::Logging::TextDocument("probe").WriteLine("x"); }),
        "Text log file unavailable: cannot create folder " + file(logs) + ": Not a directory\n");
}

TEST(DiagnosticLog, AnEntryIsCutAfter64KiBAtACharactersStart) {
    // An entry is what dump(2) prints (a string: itself), cut after 64 KiB at a
    // character's start; a value 500 arrays deep costs no more than its compact form.
    std::string deep = "[0";
    for (int i = 0; i < 10; ++i)
        deep += "," + std::string(500, '[') + std::string(500, ']');
    std::string accents = "x";
    for (int i = 0; i < 40000; ++i)
        accents += "\u00e9";
    for (const platform::Json& value :
         {platform::Json::parse(R"({"a": [1, 2.5, {}, "\u00e9\n"], "b": {"c": null, "d": []}})"),
          platform::Json(std::vector<std::string>(20000, "entry")),
          platform::Json::parse(deep + "]"), platform::Json(accents)}) {
        const std::string full = value.is_string() ? value.get<std::string>() : value.dump(2);
        const std::string entry = printedEntry(value);
        const auto kept = full.size() > kDiagnosticEntryLimit ? entry.rfind("... (") : full.size();
        EXPECT_EQ(entry, full.substr(0, kept) +
                             (kept < full.size() ? "... (" + std::to_string(full.size() - kept) +
                                                       " bytes not shown)"
                                                 : ""));
        EXPECT_GE(kept + 3, std::min(full.size(), kDiagnosticEntryLimit));
        EXPECT_TRUE(platform::isValidUtf8(entry));
    }
}

TEST_F(Core, ChildProcessesRunAsTheDaemonNeeds) {
    // Stopping the daemon's launch job signals its process group: the
    // self-removal script, detached, leads a session of its own.
    platform::spawnDetached("/bin/sh",
                            {"-c", "echo $(($(ps -o sid= -p $$) - $$)) > " + file("/s")});
    EXPECT_TRUE(qvtest::eventually([&] { return read("/s") == "0\n"; })) << read("/s");
    EXPECT_EQ(shell("echo out; echo err >&2"), "out\nerr");  // an error line counts as output
}

TEST_F(Core, TheDiagnosticsSwitchFollowsItsFileCreatedAfterTheStart) {
    // The switch follows debug.conf created after the start with its folders,
    // written in place, and goes off with the file.
    const std::string conf = "/Library/Application Support/Tessaly/Quorvel/debug.conf";
    std::filesystem::remove_all(file("/Library/Application Support/Tessaly"));
    const auto watcher = ConfigWatcher::create(conf);
    put(conf, "ENABLE_DIAGNOSTIC_LOGS=false\n");
    EXPECT_TRUE(qvtest::eventually([] { return !ENABLE_DIAGNOSTIC_LOGS; }));
    put(conf, "ENABLE_DIAGNOSTIC_LOGS=true\n");
    EXPECT_TRUE(qvtest::eventually([] { return ENABLE_DIAGNOSTIC_LOGS.load(); }));
    std::filesystem::remove(file(conf));
    EXPECT_TRUE(qvtest::eventually([] { return !ENABLE_DIAGNOSTIC_LOGS; }));
    watcher->stop();
}

TEST_F(Core, TheTokenGoesOnlyToTheApisOriginAndWhatEscapesATaskIsLogged) {
    // clang-format off
    for (const auto& [url, same] : std::vector<std::pair<std::string, bool>>{
            {"https://api.example/u.pkg", true}, {"https://API.example:443/p", true},
            {"http://api.example/p", false}, {"https://api.example:8443/p", false},
            {"https://api.example.cdn/", false}, {"https://api.example@cdn.example", false}})
        EXPECT_EQ(platform::sameOrigin(url, "https://api.example"), same) << url;
    // clang-format on
    // A start-up that broke off must be told from one that ended.
    const auto log =
        qvtest::logEntriesOf([] { EXPECT_FALSE(runLoggingUnexpected([] { throw 42; })); });
    EXPECT_EQ(log,
              std::vector<std::string>{"ERROR Unexpected error: an exception of unknown type"});
}

TEST_F(Core, GatewaysTakeOnlyA2xxAsSuccessAndOnlyA200AsANewUpdateRequest) {
    Keelbase::Adapters::BaseGateway::UrlSession session("9.8.7");
    Keelbase::Adapters::AgentUpdateRequestsGateway::REST gateway(
        [&](auto&&... call) { return session.post(call...); }, api.baseUrl(), [] { return "B"; });
    for (int status : {300, 409}) {
        answer("POST", "*", status, "", 1);
        EXPECT_THROW(gateway.updateStatusToCompleted("r"), Keelbase::GatewayError) << status;
    }
    answer("POST", "*", 204);
    EXPECT_NO_THROW(gateway.updateStatusToCompleted("r"));
    EXPECT_THROW(gateway.createRequest("u", "1"), Keelbase::GatewayError);  // not a 200
    EXPECT_EQ(qvtest::headerOf(api.requests().at(0), "Accept"), "application/vnd.quorvel.v1+json");
}

}  // namespace
