// The real binary in a sandbox root: its command line and a start without
// enrollment.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <regex>
#include <thread>

#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

int runBinary(const std::vector<std::string>& arguments, std::string& output) {
    qvtest::TempDir dir;
    const std::string out = dir.str() + "/out";
    pid_t pid = qvtest::spawnProcess(QV_DAEMON_BINARY, arguments, {}, out);
    int status = 0;
    waitpid(pid, &status, 0);
    output = qvtest::readFile(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DaemonCommandLine, VersionHelpAndUnknownArguments) {
    std::string output;
    EXPECT_EQ(runBinary({"--version"}, output), 0);
    EXPECT_TRUE(std::regex_match(output, std::regex(R"(\d+\.\d+\.\d+\n)"))) << output;

    EXPECT_EQ(runBinary({"--help"}, output), 0);
    for (const char* variable :
         {"QV_ROOT", "QV_API_BASE_URL", "QV_CHECKIN_BASE_URL", "QV_CA_FILE"}) {
        EXPECT_NE(output.find(variable), std::string::npos) << variable;
    }

    EXPECT_EQ(runBinary({"--run-once"}, output), 2);
    EXPECT_NE(output.find("Usage:"), std::string::npos);
    EXPECT_EQ(runBinary({"--version", "extra"}, output), 2);
}

TEST(DaemonStartup, UnenrolledStartLogsAgentInfoStoresPortalUrlAndStaysUp) {
    qvtest::Sandbox box;
    box.setShimAnswer("scutil-ComputerName", "Lab Mac 7");
    // Nothing listens on port 9: enrollment cannot succeed.
    box.startDaemon("http://127.0.0.1:9");
    ASSERT_TRUE(box.waitForLog("Authorization token not set.")) << box.daemonOutput();

    const std::string log = box.textLog();
    const std::regex entry(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (INFO|ERROR|TITLE) .*)");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, entry)) << line;
    }
    auto at = [&](const std::string& text) { return log.find(text); };
    ASSERT_NE(at("TITLE Working!"), std::string::npos);
    EXPECT_LT(at("TITLE Working!"), at("TITLE Agent Info"));
    EXPECT_LT(at("TITLE Agent Info"), at("INFO Computer ID: nil\n"));
    EXPECT_LT(at("INFO Computer ID: nil\n"), at("INFO Machine Name: Lab Mac 7\n"));
    EXPECT_NE(at("INFO Agent Version: "), std::string::npos);
    EXPECT_LT(at("INFO Machine Name: Lab Mac 7\n"), at("INFO Authorization token not set."));
    // Every entry reaches stdout too.
    EXPECT_NE(box.daemonOutput().find("TITLE Working!"), std::string::npos);

    EXPECT_EQ(box.preference("adminPortalBaseUrl"), "http://127.0.0.1:9");
    // Diagnostics are off: no diagnostic log is created.
    for (const auto& entry : std::filesystem::directory_iterator(
             box.path("/Library/Application Support/Tessaly/Quorvel/logs"))) {
        EXPECT_EQ(entry.path().filename().string().rfind("diagnostic-", 0), std::string::npos);
    }
    // Nothing started that needs a token.
    EXPECT_EQ(log.find("Get Configuration worker started."), std::string::npos);

    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(box.daemonRunning());
    const int status = box.stopDaemon();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

}  // namespace
