// Enrollment of the real binary against the API simulator when the server
// fails at start: the unenrolled daemon logs its agent info, stores the
// portal URL, starts nothing that needs a token, stays up and enrolls in the
// same process once the server is back; through the proxy the launch job's
// environment names, it enrolls as well. (The fresh start that enrolls at
// once is in fresh_start_test.cpp.)

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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
    box.writeFile("/.shim/scutil-ComputerName", "Lab Mac 7 – Zoë");
    box.startDaemon(api.baseUrl());
    ASSERT_TRUE(box.waitForLog("INFO Authorization token not set.")) << box.textLog();
    const auto unenrolled = qvtest::entriesOf(box.textLog());
    EXPECT_TRUE(qvtest::inOrder(
        unenrolled, {"TITLE Working!", "TITLE Agent Info", "INFO Computer ID: nil",
                     "INFO Machine Name: Lab Mac 7 – Zoë", "INFO Authorization token not set."}));
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
    const auto registration = api.requestsTo("POST", "/computers/mac").back();
    EXPECT_EQ(nlohmann::json::parse(registration["body"].get<std::string>())["data"]["machineName"],
              "Lab Mac 7 – Zoë");
    EXPECT_EQ(box.preference("computerId"), "cmp-1");
    const int status = box.stopDaemon();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}

// A port nobody listens on now, on 127.0.0.1.
int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// An administrator's http_proxy (and https_proxy, no_proxy) in the launch
// job's EnvironmentVariables: libcurl sends every request through that proxy,
// loopback ones too unless no_proxy names them.
TEST(EnrollmentEndToEnd, EnrollsThroughTheProxyTheEnvironmentNames) {
    if (std::system("command -v tinyproxy >/dev/null") != 0)
        GTEST_SKIP() << "tinyproxy (the proxy this test runs) is not installed";
    qvtest::Simulator api;
    qvtest::Sandbox box;
    const int port = freeLoopbackPort();
    box.writeFile("/proxy.conf", "Port " + std::to_string(port) +
                                     "\nListen 127.0.0.1\nTimeout 30\nLogFile \"" +
                                     box.path("/proxy.log") +
                                     "\"\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\n");
    const pid_t proxy = qvtest::spawnProcess("tinyproxy", {"-d", "-c", box.path("/proxy.conf")}, {},
                                             box.path("/proxy.out"));
    ASSERT_TRUE(qvtest::eventually([&] {
        return box.exists("/proxy.log") &&
               box.readFile("/proxy.log").find("Accepting connections") != std::string::npos;
    })) << box.readFile("/proxy.out");
    box.writeFile("/tmp/qvconfig", "KEY-3\nACME\nHQ");
    box.startDaemon(api.baseUrl(), {{"http_proxy", "http://127.0.0.1:" + std::to_string(port)},
                                    {"https_proxy", "http://127.0.0.1:" + std::to_string(port)},
                                    {"no_proxy", ""}});
    const bool enrolled = box.waitForLog("INFO Authorization token is set.");
    box.stopDaemon();
    ::kill(proxy, SIGTERM);
    ::waitpid(proxy, nullptr, 0);
    EXPECT_TRUE(enrolled) << box.textLog();
    EXPECT_NE(box.readFile("/proxy.log").find("POST " + api.baseUrl() + "/computers/mac HTTP/1.1"),
              std::string::npos)
        << box.readFile("/proxy.log");
}

}  // namespace
