// The real binary against a server that answers one of its requests in a
// hostile way: 100 MiB, not JSON, 100,000 nested arrays, fields
// of the wrong type, a 1 MiB header, no answer at all, a few bytes a second, a
// reset or a download cut short. Each time the daemon logs a clear line, stays
// up, keeps its memory bounded and makes its next request on schedule.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <utility>

#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Fetch, check in and report state on every one-second tick; retry a fetch
// that failed within 1.5 s. The negative interval outweighs the jitter the
// first fetch drew from the default bound (30 s).
const json kEveryTick = {{"computerConfigurationPingIntervalOverride", -30},
                         {"computerCheckInPingIntervalOverride", 0},
                         {"computerStatePingIntervalOverride", 1},
                         {"globalMaxJitterOverride", 0},
                         {"retryIntervalDownloadConfigurationMultiplierOverride", 1000},
                         {"retryIntervalDownloadConfigurationMaxJitterOverride", 0},
                         {"retryIntervalDownloadConfigurationMaxBackoffOverride", 1500},
                         {"retryIntervalDownloadConfigurationMaxCollisionsOverride", 1}};

const std::string kFetch = "GET /computers/configuration";
const std::string kFetchFailed = "ERROR Error on Configuration: Failed to decode JSON: ";
const std::string kNotJson = "[json.exception.parse_error.101] parse error at line 1";
const std::string kHtml = R"("raw": "<html><body>502 Bad Gateway</body></html>")";

enum class Armed { atStart, onceConfigured };

struct Row {
    std::string name;
    std::string route;  // "METHOD PATH" of the request answered in a hostile way
    std::string fault;  // the simulator's fault, as JSON: kind, or status with body or raw
    Armed armed;
    std::string line;       // in the text log; "{api}" is the simulator's URL
    std::string next = {};  // "METHOD PATH" of the next request, when not `route`
    std::string state = "{}";
};

const Row kRows[] = {
    {"ConfigurationOf100MiB", kFetch, R"({"kind": "huge"})", Armed::onceConfigured,
     "ERROR Request error: the response body exceeds the limit of 8388608 bytes"},
    {"ConfigurationNotJson", kFetch, R"({"status": 200, )" + kHtml + "}", Armed::onceConfigured,
     kFetchFailed + kNotJson},
    {"ConfigurationNested100000Deep", kFetch, R"({"kind": "deep"})", Armed::onceConfigured,
     kFetchFailed + "[json.exception.parse_error] nesting deeper than 512 levels"},
    {"ConfigurationOfWrongTypes", kFetch,
     R"({"status": 200, "body": {"configuration": {
         "computerConfigurationPingIntervalOverride": "60", "endpoints": []}}})",
     Armed::onceConfigured,
     kFetchFailed + "Expected to decode an integer for key "
                    "\"configuration.computerConfigurationPingIntervalOverride\" but found string"},
    {"ConfigurationNeverAnswered", kFetch, R"({"kind": "hang"})", Armed::onceConfigured,
     "ERROR Request error: Timeout was reached"},
    // Four bytes a second pass the no-progress limit ("Operation too slow"); the
    // limit on the whole answer, twice the time-out, ends it.
    {"ConfigurationFourBytesASecond", kFetch, R"({"kind": "trickle"})", Armed::onceConfigured,
     "ERROR Request error: Timeout was reached: Operation timed out after "},
    {"ConfigurationResetMidBody", kFetch, R"({"kind": "reset"})", Armed::onceConfigured,
     "ERROR Request error: Failure when receiving data from the peer"},
    {"RegistrationIdOfWrongType", "POST /computers/mac", R"({"status": 200, "body": {"id": 5}})",
     Armed::atStart,
     "ERROR Failed to decode JSON: Expected to decode a string for key \"id\" but found number"},
    // A header line past libcurl's limit (100 KiB), which libcurl calls "Out of memory".
    {"LoginWith1MiBHeader", "POST /computers/cmp-1/login", R"({"kind": "bigheader"})",
     Armed::atStart, "ERROR Request error: the response headers exceed the limit"},
    {"StateNeverAnswered", "POST /computers/state", R"({"kind": "hang"})", Armed::onceConfigured,
     "INFO Error sending computer state: Request to {api}/computers/state failed: Timeout was "
     "reached"},
    {"CheckInNotJson", "POST /computers/checkIn", R"({"status": 502, )" + kHtml + "}",
     Armed::onceConfigured, "ERROR Error decoding JSON: " + kNotJson},
    {"UpdateDownloadCutShort", "GET /packages/upd-1.pkg", R"({"kind": "cut"})", Armed::atStart,
     "INFO Agent update download failed: Download of {api}/packages/upd-1.pkg failed: "
     "Transferred a partial file",
     "", R"({"pendingActions": [{"type": "updateAgent", "value": "upd-1", "display": "2.0.0"}]})"},
    // The MDM agent is downloaded once per start; the configuration fetch follows.
    {"MdmDownloadCutShort", "GET /addigy/packages/cmp-1.pkg", R"({"kind": "cut"})", Armed::atStart,
     "ERROR Download error: Transferred a partial file", kFetch},
    {"MdmDownloadRefused", "GET /addigy/packages/cmp-1.pkg", R"({"status": 500})", Armed::atStart,
     "ERROR Download error: the server answered with status 500", kFetch},
    // Flowing, it passes the no-progress limit; the limit in all (3 s) ends it.
    {"MdmDownloadFourBytesASecond", "GET /addigy/packages/cmp-1.pkg", R"({"kind": "trickle"})",
     Armed::atStart, "ERROR Download error: Timeout was reached: Operation timed out after ",
     kFetch},
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// "METHOD PATH" as its two parts.
std::pair<std::string, std::string> methodAndPath(const std::string& route) {
    const auto space = route.find(' ');
    return {route.substr(0, space), route.substr(space + 1)};
}

class HostileAnswer : public testing::TestWithParam<Row> {};

TEST_P(HostileAnswer, IsLoggedAndTheDaemonGoesOnInBoundedMemory) {
    const Row& row = GetParam();
    qvtest::Simulator api({"--configuration", kEveryTick.dump()});
    api.setState(json::parse(row.state));
    json fault = json::parse(row.fault);
    std::tie(fault["method"], fault["path"]) = methodAndPath(row.route);
    qvtest::Sandbox box;
    box.writeFile("/tmp/qvconfig", "KEY\\nACME\\nHQ");
    // With diagnostics on, the raw JSON of failed answers is written out too.
    box.writeFile(qvtest::kProduct + "/debug.conf", "ENABLE_DIAGNOSTIC_LOGS=true\n");
    // Whatever reaches the installer is kept, to show what would be installed.
    box.installShim("installer", "/usr/sbin/installer");
    box.writeFile("/.shim/installer.sh", "cat \"$2\" >> \"$QV_ROOT/installed\"\n");
    if (row.armed == Armed::atStart)
        api.addFault(fault);
    box.startDaemon(api.baseUrl(), {{"QV_REQUEST_TIMEOUT_S", "2"}, {"QV_DOWNLOAD_TIMEOUT_S", "3"}});
    if (row.armed == Armed::onceConfigured) {
        ASSERT_TRUE(box.waitForLog("INFO Got configuration at ")) << box.textLog();
        api.addFault(fault);
    }

    std::string line = row.line;
    if (auto at = line.find("{api}"); at != std::string::npos)
        line.replace(at, 5, api.baseUrl());
    ASSERT_TRUE(box.waitForLog(line, 15s)) << box.textLog();
    const auto [method, path] = methodAndPath(row.next.empty() ? row.route : row.next);
    const auto seen = api.requestsTo(method, path).size();
    EXPECT_TRUE(api.waitForRequest(method, path, 12s, seen + 1)) << box.textLog();
    EXPECT_TRUE(box.daemonRunning());
    EXPECT_GT(box.peakResidentBytes(), 0u);
    EXPECT_LT(box.peakResidentBytes(), qvtest::kMemoryBound);
    // Neither an error answer nor a cut-off body reached the installer.
    const std::string installed = box.readFile("/installed");
    EXPECT_EQ(installed.find("Injected failure"), std::string::npos) << installed;
    EXPECT_EQ(installed.find("xxxxxxxx"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(To, HostileAnswer, testing::ValuesIn(kRows),
                         [](const auto& test) { return test.param.name; });

TEST(HostileAnswerTls,
     SelfSignedServerIsRefusedUnlessItsCertificateIsTheCaFileAndNoRedirectLeavesTls) {
    // Valid for 127.0.0.1 and its own CA, so naming it as the CA file makes it trusted.
    qvtest::TempDir dir;
    const std::string certificate = dir.str() + "/cert.pem", key = dir.str() + "/key.pem";
    qvtest::sh(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
        "-subj /CN=qv -addext subjectAltName=IP:127.0.0.1 -addext "
        "basicConstraints=critical,CA:TRUE -keyout " +
        key + " -out " + certificate + " 2>/dev/null");
    // Once trusted, its MDM package link answers with a redirect to plain http.
    qvtest::Simulator plain;
    const std::string package = "/addigy/packages/cmp-1.pkg";
    qvtest::Simulator api({"--tls", certificate, key, "--fault",
                           "GET " + package + " redirect " + plain.baseUrl() + package});
    const std::string url = "https" + api.baseUrl().substr(4);
    qvtest::Sandbox box;
    box.startDaemon(url);
    EXPECT_TRUE(
        box.waitForLog("ERROR Request error: SSL peer certificate or SSH remote key "
                       "was not OK: SSL certificate problem: self-signed certificate"))
        << box.textLog();
    box.stopDaemon();
    box.startDaemon(url, {{"QV_CA_FILE", certificate}});
    EXPECT_TRUE(box.waitForLog("INFO Parsed Todo: RegistrationDTO(computerId: \"cmp-1\")"))
        << box.textLog();
    // A redirect never leaves TLS: the package is not fetched over plain http.
    EXPECT_TRUE(
        box.waitForLog("ERROR Download error: Unsupported protocol: Protocol \"http\" "
                       "not supported or disabled in libcurl"))
        << box.textLog();
    EXPECT_TRUE(plain.requestsTo("GET", package).empty());
}

}  // namespace
