// Enrollment of the real binary against the API simulator when the server
// fails at start: the unenrolled daemon logs its agent info, stores the
// portal URL, starts nothing that needs a token, stays up and enrolls in the
// same process once the server is back. (The fresh start that enrolls at once
// is in fresh_start_test.cpp.)

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

TEST(EnrollmentEndToEnd, StartWhileTheServerFailsStaysUpAndEnrollsInTheSameProcessOnceItIsBack) {
    // The first request's connection is dropped; the retry, after one wait of
    // at most 5 s + 5001 ms, finds the server answering.
    qvtest::Simulator api({"--fault", "* * drop 1"});
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY-2\\nACME\\nLab");
    box.writeFile("/.shim/scutil-ComputerName", "Lab Mac 7");
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token not set.")) << box.textLog();
    const auto unenrolled = qvtest::entriesOf(box.textLog());
    EXPECT_TRUE(qvtest::inOrder(
        unenrolled, {"TITLE Working!", "TITLE Agent Info", "INFO Computer ID: nil",
                     "INFO Machine Name: Lab Mac 7", "INFO Authorization token not set."}));
    EXPECT_TRUE(qvtest::hasEntryStartingWith(unenrolled, "INFO Agent Version: "));
    // Nothing started that needs a token.
    EXPECT_FALSE(qvtest::hasEntry(unenrolled, "INFO Get Configuration worker started."));
    EXPECT_EQ(box.preference("adminPortalBaseUrl"), api.baseUrl());
    EXPECT_TRUE(box.exists("/tmp/qvconfig"));
    // Diagnostics are off: no diagnostic log is created.
    for (const auto& entry :
         std::filesystem::directory_iterator(box.path(qvtest::kProduct + "/logs")))
        EXPECT_FALSE(entry.path().filename().string().starts_with("diagnostic-")) << entry.path();

    ASSERT_TRUE(box.waitForLog("INFO Authorization token is set.", 20s)) << box.textLog();
    EXPECT_TRUE(box.daemonRunning());
    EXPECT_EQ(box.countInLog("INFO Retrying enrollment in "), 1);
    EXPECT_EQ(api.requestsTo("POST", "/computers/mac").size(), 2u);
    // The retry registered with the customer key the failed attempt kept.
    EXPECT_EQ(api.state()["computers"]["cmp-1"]["licenseKey"], "KEY-2");
    EXPECT_EQ(box.preference("computerId"), "cmp-1");
    const int status = box.stopDaemon();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

}  // namespace
