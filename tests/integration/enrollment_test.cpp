// Enrollment of the real binary against the API simulator: registration and
// login on a fresh sandbox, login alone on the next start, and a start while
// the server fails that enrolls once it is back.

#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qvtest::headerOf;

TEST(EnrollmentEndToEnd, FreshSandboxRegistersAndLogsInAndTheNextStartOnlyLogsIn) {
    qvtest::Simulator api;
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY-1\\nACME Corp\\nHQ");
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token is set.")) << box.textLog();

    const std::string log = box.textLog();
    EXPECT_NE(log.find("INFO Computer ID: Optional(\"cmp-1\")\n"), std::string::npos) << log;
    EXPECT_LT(log.find("INFO Login Complete!"), log.find("TITLE Agent Info"));
    EXPECT_EQ(box.preference("computerId"), "cmp-1");
    const json computer = api.state()["computers"]["cmp-1"];
    EXPECT_EQ(computer["licenseKey"], "KEY-1");
    EXPECT_EQ(computer["companyName"], "ACME Corp");
    EXPECT_EQ(computer["locationName"], "HQ");
    EXPECT_FALSE(box.exists("/tmp/qvconfig"));

    auto registrations = api.requestsTo("POST", "/computers/mac");
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(headerOf(registrations[0], "Authorization"), std::nullopt);
    EXPECT_EQ(json::parse(registrations[0]["body"].get<std::string>())["data"]["operatingSystem"],
              json::parse(R"({"name":"macOS","version":"14.5","build":"23F79"})"));

    box.stopDaemon();
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token is set.", 15s, 2)) << box.textLog();
    EXPECT_EQ(api.requestsTo("POST", "/computers/mac").size(), 1u);
    EXPECT_EQ(api.requestsTo("POST", "/computers/cmp-1/login").size(), 2u);
    EXPECT_EQ(box.countInLog("INFO Registering computer..."), 1);
    EXPECT_EQ(box.countInLog("INFO Computer ID: Optional(\"cmp-1\")"), 2);
}

TEST(EnrollmentEndToEnd, StartWhileTheServerFailsEnrollsInTheSameProcessOnceItIsBack) {
    // The first request's connection is dropped; the retry, after one wait of
    // at most 5 s + 5001 ms, finds the server answering.
    qvtest::Simulator api({"--fault", "* * drop 1"});
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY-2\\nACME\\nLab");
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token not set.")) << box.textLog();
    EXPECT_TRUE(box.exists("/tmp/qvconfig"));
    ASSERT_TRUE(box.waitForLog("INFO Authorization token is set.", 20s)) << box.textLog();

    EXPECT_TRUE(box.daemonRunning());
    EXPECT_EQ(box.countInLog("INFO Retrying enrollment in "), 1);
    EXPECT_EQ(api.requestsTo("POST", "/computers/mac").size(), 2u);
    // The retry registered with the customer key the failed attempt kept.
    EXPECT_EQ(api.state()["computers"]["cmp-1"]["licenseKey"], "KEY-2");
    EXPECT_EQ(box.preference("computerId"), "cmp-1");
}

}  // namespace
