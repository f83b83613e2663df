// The diagnostic log: its file per run, its line format, and entries that
// never replace one another.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "daemon/core/diagnostic_log.h"
#include "daemon/core/globals.h"
#include "platform/system_root.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using namespace QVAgentLaunchDaemon;

class DiagnosticLog : public ::testing::Test {
  protected:
    void SetUp() override {
        qvtest::useRoot(root.str());
        startFormatted = formatStartTime(
            std::chrono::system_clock::time_point(std::chrono::milliseconds(1765054260123)));
        ENABLE_DIAGNOSTIC_LOGS = true;
    }
    void TearDown() override {
        ENABLE_DIAGNOSTIC_LOGS = false;
        qvtest::restoreScratchRoot();
    }
    std::string content() const { return qvtest::readFile(diagnosticLogPath()); }

    qvtest::TempDir root;
};

TEST_F(DiagnosticLog, FileIsNamedAfterTheRunsStartTime) {
    EXPECT_EQ(startFormatted, "20251206T205100.123");
    log("hello");
    EXPECT_EQ(
        diagnosticLogPath(),
        root.str() +
            "/Library/Application Support/Tessaly/Quorvel/logs/diagnostic-20251206T205100.123.log");
    EXPECT_TRUE(std::filesystem::exists(diagnosticLogPath()));
}

TEST_F(DiagnosticLog, LineFormatAndErrorMark) {
    log("ordinary");
    log("failure", true);
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ: (\xE2\x9C\x85|\xE2\x9D\x8C) - (.*))");
    std::istringstream in(content());
    std::string first, second, extra;
    ASSERT_TRUE(std::getline(in, first));
    ASSERT_TRUE(std::getline(in, second));
    EXPECT_FALSE(std::getline(in, extra));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, line)) << first;
    EXPECT_EQ(m[1], "\u2705");
    EXPECT_EQ(m[2], "ordinary");
    ASSERT_TRUE(std::regex_match(second, m, line)) << second;
    EXPECT_EQ(m[1], "\u274C");
    EXPECT_EQ(m[2], "failure");
}

TEST_F(DiagnosticLog, JsonValueIsWrittenInItsPrintedFormEndingInOneLineFeed) {
    log(platform::Json::parse(R"({"error":"denied","code":401})"));
    const std::string text = content();
    EXPECT_NE(text.find("\"error\": \"denied\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"code\": 401"), std::string::npos);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text[text.size() - 2], '\n');
}

TEST_F(DiagnosticLog, NothingIsCreatedWhileDiagnosticsAreOff) {
    ENABLE_DIAGNOSTIC_LOGS = false;
    log("dropped");
    log(platform::Json::object(), true);
    EXPECT_FALSE(std::filesystem::exists(root / "Library"));
}

TEST_F(DiagnosticLog, ConcurrentEntriesAreAllKeptWhole) {
    // The first entries race to create the file; none may replace another.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                log("thread " + std::to_string(t) + " entry " + std::to_string(i));
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::istringstream in(content());
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        EXPECT_TRUE(std::regex_search(line, std::regex(R"(- thread \d entry \d+$)"))) << line;
    }
    EXPECT_EQ(lines, 400);
}

TEST_F(DiagnosticLog, FileRemovedMidRunIsCreatedAgain) {
    log("first");
    std::filesystem::remove(diagnosticLogPath());
    log("second");
    EXPECT_NE(content().find("- second"), std::string::npos);
    EXPECT_EQ(content().find("- first"), std::string::npos);
}

}  // namespace
