// The real binary's command line: --version, --help, unknown arguments, and
// `--status` of an enrolled sandbox read while its daemon runs (no request
// sent, neither the text log nor the preferences changed; the diagnostic log
// written last; no error line a server's string forged) and of an empty root
// (not enrolled, nothing created in it).

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

int runBinary(const std::string& root, const std::vector<std::string>& arguments,
              std::string& output) {
    qvtest::TempDir dir;
    std::map<std::string, std::string> environment;
    if (!root.empty())
        environment["QV_ROOT"] = root;
    const pid_t pid =
        qvtest::spawnProcess(QV_DAEMON_BINARY, arguments, environment, dir.str() + "/out");
    int status = 0;
    waitpid(pid, &status, 0);
    output = qvtest::readFile(dir / "out");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DaemonCommandLine, VersionHelpAndUnknownArguments) {
    std::string output;
    EXPECT_EQ(runBinary("", {"--version"}, output), 0);
    EXPECT_TRUE(std::regex_match(output, std::regex(R"(\d+\.\d+\.\d+\n)"))) << output;

    EXPECT_EQ(runBinary("", {"--help"}, output), 0);
    for (const char* variable :
         {"QV_ROOT", "QV_API_BASE_URL", "QV_CHECKIN_BASE_URL", "QV_CA_FILE"}) {
        EXPECT_NE(output.find(variable), std::string::npos) << variable;
    }

    EXPECT_EQ(runBinary("", {"--run-once"}, output), 2);
    EXPECT_NE(output.find("Usage:"), std::string::npos);
    EXPECT_EQ(runBinary("", {"--version", "extra"}, output), 2);
}

TEST(StatusCommand, ReadsARunningEnrolledDaemonWithoutTouchingItAndAnEmptyRoot) {
    const std::string prefs = "/Library/Preferences/com.tessaly.Quorvel.plist";
    // The MDM agent's download link tries to forge a line of its own.
    const std::string forged = "\n2031-01-01T00:00:00.000Z ERROR forged";
    qvtest::Simulator api;
    api.setState({{"addigy", {{"downloadLink", api.baseUrl() + forged}}}});
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY-1\\nACME\\nHQ");
    box.writeFile(qvtest::kProduct + "/debug.conf",
                  "# diagnostics\nENABLE_DIAGNOSTIC_LOGS = true\n");
    // Named after a later start, written a day ago: the clock was set back since.
    const std::string older = qvtest::kProduct + "/logs/diagnostic-20991231T235959.999.log";
    box.writeFile(older, "");
    std::filesystem::last_write_time(box.path(older),
                                     std::filesystem::file_time_type::clock::now() - 24h);
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Making check-in request")) << box.textLog();
    ASSERT_TRUE(api.waitForRequest("POST", "/computers/state", 10s)) << box.textLog();
    // The start-up burst is over once the text log stops growing.
    std::size_t logBefore = 0;
    while (logBefore != box.textLog().size()) {
        logBefore = box.textLog().size();
        std::this_thread::sleep_for(700ms);
    }
    const auto prefsBefore = box.readFile(prefs);
    const auto requestsBefore = api.requests().size();

    std::string text, output;
    EXPECT_EQ(runBinary(box.root(), {"--status"}, text), 0) << text;
    ASSERT_EQ(runBinary(box.root(), {"--status", "--json"}, output), 0) << output;
    EXPECT_TRUE(box.daemonRunning());
    EXPECT_EQ(box.textLog().size(), logBefore);
    EXPECT_EQ(box.readFile(prefs), prefsBefore);
    EXPECT_EQ(api.requests().size(), requestsBefore);

    const json status = json::parse(output);
    EXPECT_EQ(status["enrolled"], true);
    EXPECT_EQ(status["computerId"], "cmp-1");
    EXPECT_EQ(status["lastError"].dump().find("forged"), std::string::npos) << status.dump(2);
    for (const auto& line : qvtest::linesOf(box.textLog()))
        EXPECT_FALSE(line.starts_with("2031")) << line;
    EXPECT_EQ(
        box.countInLog(" INFO " + api.baseUrl() + "\\n2031-01-01T00:00:00.000Z ERROR forged\n"), 1);
    EXPECT_EQ(status["adminPortalBaseUrl"], api.baseUrl());
    EXPECT_EQ(status["diagnostics"]["enabled"], true);
    EXPECT_TRUE(status["diagnostics"]["log"].get<std::string>().starts_with(
        box.path(qvtest::kProduct + "/logs") + "/diagnostic-"));
    EXPECT_NE(status["diagnostics"]["log"], box.path(older));
    EXPECT_EQ(status["update"],
              json({{"inProgress", false}, {"requestId", nullptr}, {"problem", nullptr}}));
    for (const char* entry : {"lastConfigurationFetch", "lastCheckIn"})
        EXPECT_TRUE(std::regex_match(status[entry]["time"].get<std::string>(),
                                     std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
            << status.dump(2);
    EXPECT_EQ(status["textLog"]["present"], true);
    // Every text line is "Label:", padded to one column, then the value.
    std::set<std::size_t> columns;
    for (const auto& line : qvtest::linesOf(text))
        columns.insert(line.find_first_not_of(' ', line.find(": ") + 1));
    EXPECT_EQ(columns.size(), 1u) << text;
    EXPECT_NE(text.find("\nComputer ID:         cmp-1\n"), std::string::npos) << text;

    qvtest::TempDir empty;
    EXPECT_EQ(runBinary(empty.str(), {"--status"}, text), 1);
    EXPECT_NE(text.find("Enrolled:            no\n"), std::string::npos) << text;
    ASSERT_EQ(runBinary(empty.str(), {"--status", "--json"}, output), 1) << output;
    const json bare = json::parse(output);
    for (const char* key : {"computerId", "lastConfigurationFetch", "lastCheckIn", "lastError"})
        EXPECT_EQ(bare[key], nullptr) << key;
    EXPECT_EQ(bare["enrolled"], false);
    EXPECT_EQ(bare["textLog"]["present"], false);
    EXPECT_EQ(runBinary(empty.str(), {"--json"}, output), 2);
    EXPECT_EQ(runBinary(empty.str(), {"--status", "--json", "--status"}, output), 2);
    EXPECT_TRUE(std::filesystem::is_empty(empty.path()));
}

}  // namespace
