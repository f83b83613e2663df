// Registration, login and the main task's enrollment loop against a loopback
// server, with the stand-in macOS tools first on PATH.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "daemon/core/app_core.h"
#include "daemon/core/diagnostic_log.h"
#include "daemon/core/globals.h"
#include "daemon/core/shell.h"
#include "daemon/enrollment/enrollment.h"
#include "daemon/main_task.h"
#include "platform/preferences.h"
#include "platform/system_root.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using namespace QVAgentLaunchDaemon;
using MemoryKey = App::Core::State::MemoryKey;
using platform::Json;
using qvtest::hasEntry;
using qvtest::hasEntryStartingWith;
using qvtest::inOrder;
using qvtest::logEntriesOf;

const Json kMachineData = Json::parse(R"({
    "machineName": "Sandbox Mac",
    "serialNumber": "9A3B1C2D-4E5F-4A6B-8C7D-0E1F2A3B4C5D",
    "operatingSystem": {"name": "macOS", "version": "14.5", "build": "23F79"}})");

class Enrollment : public ::testing::Test {
  protected:
    void SetUp() override {
        useRoot(tempDir.str());
        BUNDLE_ID = App::Core::Metadata::bundleId();
        deploymentBaseUrl = checkInBaseUrl = "http://127.0.0.1:" + std::to_string(server.port());
        clearToken();
    }
    void TearDown() override {
        ENABLE_DIAGNOSTIC_LOGS = false;
        clearToken();
        qvtest::restoreScratchRoot();
        platform::Preferences::resetCacheForTesting();
    }

    void useRoot(const std::string& root) {
        std::filesystem::create_directories(root + "/tmp");
        qvtest::useRoot(root);
        platform::Preferences::resetCacheForTesting();
    }
    static void clearToken() {
        authorizationToken.set(std::nullopt);
        App::Core::State::SetValueInMemory(MemoryKey::authorizationToken, std::nullopt);
    }
    static std::string installerFile() { return platform::SystemRoot::resolve("/tmp/qvconfig"); }
    // "computerId" as a new process would read it from disk.
    std::optional<std::string> storedIdOnDisk() {
        platform::Preferences::resetCacheForTesting();
        return platform::Preferences::copyString("computerId", BUNDLE_ID);
    }

    std::vector<qvtest::LoopbackRequest> requestsTo(const std::string& path) const {
        std::vector<qvtest::LoopbackRequest> matching;
        for (auto& request : server.requests()) {
            if (request.path == path)
                matching.push_back(request);
        }
        return matching;
    }

    qvtest::TempDir tempDir;
    qvtest::LoopbackServer server;

  private:
    qvtest::StandInsOnPath standIns_;
};

void answerJson(qvtest::LoopbackResponse& res, int status, const std::string& body) {
    res.status = status;
    res.body = body;
    res.contentType = "application/json";
}

TEST_F(Enrollment, RegistersWithFactsAndEmptyInstallerFieldsThenLogsInKeepingTheToken) {
    server.Post("/computers/mac",
                [](const auto&, auto& res) { answerJson(res, 200, R"({"id":"abc","extra":1})"); });
    server.Post("/computers/abc/login", [](const auto&, auto& res) {
        // The name in lower case, as HTTP/2 servers send it; the value verbatim.
        res.headers.emplace_back("authorization", "Bearer tok.A1==");
        answerJson(res, 200, "{}");
    });

    auto log = logEntriesOf([] { registerComputer(); });

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/computers/mac");
    EXPECT_EQ(requests[1].path, "/computers/abc/login");
    for (const auto& request : requests) {
        std::set<std::string> names;
        for (const auto& [name, value] : request.headers) {
            std::string lower;
            for (char c : name)
                lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (lower != "host" && lower != "content-length")
                names.insert(lower);
        }
        EXPECT_EQ(names,
                  (std::set<std::string>{"content-type", "x-client-name", "x-client-version"}))
            << request.path;
        EXPECT_EQ(request.header("Content-Type"), "application/json; charset=utf-8");
        EXPECT_EQ(request.header("x-client-name"), "mac-agent");
        EXPECT_EQ(request.header("x-client-version"), App::Core::Metadata::version());
        EXPECT_EQ(request.body, Json::parse(request.body).dump()) << "not compact";
    }
    Json registration = {{"platform", "mac"},
                         {"licenseKey", ""},
                         {"companyName", ""},
                         {"locationName", ""},
                         {"machineId", "5E6F7A8B-9C0D-4E1F-A2B3-C4D5E6F7A8B9"},
                         {"data", kMachineData}};
    EXPECT_EQ(Json::parse(requests[0].body), registration);
    EXPECT_EQ(Json::parse(requests[1].body), (Json{{"platform", "mac"}, {"data", kMachineData}}));

    EXPECT_EQ(authorizationToken.get(), "Bearer tok.A1==");
    EXPECT_EQ(App::Core::State::GetValueFromMemory(MemoryKey::authorizationToken),
              "Bearer tok.A1==");
    EXPECT_EQ(storedIdOnDisk(), "abc");
    EXPECT_TRUE(
        inOrder(log, {"INFO Registering computer...", "INFO Registation payload ready",
                      "INFO Making registration request", "INFO Status code: 200",
                      "INFO Parsed Todo: RegistrationDTO(computerId: \"abc\")", "INFO abc",
                      "INFO Setting computer id to state", "INFO Computer ID saved to state",
                      "INFO Registration Complete!", "INFO Attempt to log in after registration",
                      "INFO Logging in as computerID: abc", "INFO Log in payload is ready",
                      "INFO Making login request", "INFO Status code: 200",
                      "INFO Authorization header found.", "INFO Login Complete!"}));
    EXPECT_FALSE(hasEntryStartingWith(log, "TITLE QVConfig"));  // no installer file, nothing logged
}

TEST_F(Enrollment, InstallerFileFieldsAreSplitAndTheFileOutlivesAFailedRegistration) {
    // A root whose path the shell would split: the command lines must quote it.
    useRoot(tempDir.str() + "/sand box");
    qvtest::writeFile(installerFile(), "KEY\\nACME\\nHQ");
    std::atomic<int> status{500};
    server.Post("/computers/mac", [&](const auto&, auto& res) {
        answerJson(res, status, status == 200 ? R"({"id":"x1"})" : R"({"error":"down"})");
    });
    server.Post("/computers/x1/login", [](const auto&, auto& res) { answerJson(res, 200, "{}"); });

    auto failed = logEntriesOf([] { registerComputer(); });
    ASSERT_EQ(server.requestCount(), 1u);
    auto body = Json::parse(server.requests()[0].body);
    EXPECT_EQ(body["licenseKey"], "KEY");
    EXPECT_EQ(body["companyName"], "ACME");
    EXPECT_EQ(body["locationName"], "HQ");
    EXPECT_TRUE(inOrder(
        failed,
        {"TITLE QVConfig", "INFO Contents of QVConfig: KEY\\nACME\\nHQ", "INFO License Key: KEY",
         "INFO Company Name: ACME", "INFO LocationName: HQ", "INFO Registation payload ready",
         "ERROR Request failed.", "INFO Registration Complete!",
         "INFO Computer ID is nil. No attempt to log in after registration"}));
    EXPECT_TRUE(std::filesystem::exists(installerFile())) << "the customer key was lost";

    // Several lines: awk gives each field of every line, joined by line feeds.
    qvtest::writeFile(installerFile(), "K1\\nC1\\nL1\nK2\\nC2\\nL2\n");
    status = 200;
    server.clearRequests();
    auto succeeded = logEntriesOf([] { registerComputer(); });
    body = Json::parse(requestsTo("/computers/mac").at(0).body);
    EXPECT_EQ(body["licenseKey"], "K1\nK2");
    EXPECT_EQ(body["companyName"], "C1\nC2");
    EXPECT_EQ(body["locationName"], "L1\nL2");
    EXPECT_EQ(storedIdOnDisk(), "x1");
    EXPECT_FALSE(std::filesystem::exists(installerFile()));
    // A login answer without the header holds no token.
    EXPECT_TRUE(hasEntry(succeeded, "INFO Authorization header not found."));
    EXPECT_EQ(authorizationToken.get(), std::nullopt);
}

TEST(InstallerConfiguration, FieldsSplitInProcessAsTheInstallersAwkCommandSplitsThem) {
    qvtest::TempDir dir;
    const std::string file = dir.str() + "/qvconfig";
    for (const std::string content :
         {"KEY\\nACME\\nHQ", "K1\\nC1\\nL1\nK2\\nC2\\nL2\n", "", "\n\n", "only-key",
          "  K \\n C \\n L  \n", "K\\n\\nL\\nextra", "\\nC", "a\\\\nb\\n\\c\\nd",
          "K\\nC\r\nK2\\nC2\r\n", "\nK\\nC\\nL", "\xff\\nC"}) {
        qvtest::writeFile(file, content);
        const auto fields = splitInstallerConfiguration(content);
        const std::optional<std::string>* got[] = {&fields.licenseKey, &fields.companyName,
                                                   &fields.locationName};
        for (int n = 1; n <= 3; ++n) {
            const auto awk = QVAgentLaunchDaemon::shell("cat '" + file +
                                                        R"(' | awk 'BEGIN{FS="\\\\n"} {print $)" +
                                                        std::to_string(n) + "}'");
            EXPECT_EQ(*got[n - 1], awk) << "field " << n << " of \"" << content << "\"";
        }
    }
}

TEST_F(Enrollment, FactsThatCannotBeReadAreNullWhileAnAbsentInstallerFileGivesEmptyStrings) {
    auto body = registrationBody({}, std::nullopt, {});
    EXPECT_EQ(body, Json::parse(R"({"platform":"mac","licenseKey":null,"companyName":null,
        "locationName":null,"machineId":null,"data":{"machineName":null,"serialNumber":null,
        "operatingSystem":{"name":"macOS","version":null,"build":null}}})"));
    EXPECT_EQ(loginBody({}).dump(),
              R"({"platform":"mac","data":{"machineName":null,"serialNumber":null,)"
              R"("operatingSystem":{"name":"macOS","version":null,"build":null}}})");
}

TEST_F(Enrollment, RegistrationAnswersThatYieldNoIdentifier) {
    ENABLE_DIAGNOSTIC_LOGS = true;
    struct Case {
        int status;
        std::string body;
        std::string expectedLine;
    };
    const std::vector<Case> cases = {
        {500, R"({"error":"database on fire"})", "INFO Raw JSON response:"},
        {502, "<html>Bad gateway</html>", "ERROR Error decoding JSON: "},
        {200, R"({"computerId":"abc"})", "ERROR Failed to decode JSON: "},
        {200, R"({"id":42})", "ERROR Failed to decode JSON: "},
        {200, "", "ERROR Failed to decode JSON: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        server.Post("/computers/mac",
                    [&](const auto&, auto& res) { answerJson(res, c.status, c.body); });
        server.clearRequests();
        auto log = logEntriesOf([] { registerComputer(); });
        EXPECT_TRUE(hasEntryStartingWith(log, c.expectedLine));
        EXPECT_EQ(hasEntry(log, "ERROR Request failed."), c.status != 200);
        EXPECT_TRUE(inOrder(
            log, {"INFO Status code: " + std::to_string(c.status), "INFO Registration Complete!",
                  "INFO Computer ID is nil. No attempt to log in after registration"}));
        EXPECT_EQ(server.requestCount(), 1u) << "no login without an identifier";
        EXPECT_EQ(storedIdOnDisk(), std::nullopt);
    }
    // The JSON body of the failed answer went to the diagnostic log.
    EXPECT_NE(qvtest::readFile(diagnosticLogPath()).find("database on fire"), std::string::npos);

    deploymentBaseUrl = "http://127.0.0.1:9";  // nothing listens
    auto unreachable = logEntriesOf([] { registerComputer(); });
    EXPECT_TRUE(hasEntryStartingWith(unreachable, "ERROR Request error: "));
    EXPECT_TRUE(hasEntry(unreachable, "INFO Registration Complete!"));

    deploymentBaseUrl = "http://exa mple";
    auto invalid = logEntriesOf([] { registerComputer(); });
    EXPECT_TRUE(hasEntry(invalid, "ERROR Invalid URL"));
    EXPECT_FALSE(hasEntry(invalid, "INFO Making registration request"));
}

TEST_F(Enrollment, LoginFailuresYieldNoToken) {
    ENABLE_DIAGNOSTIC_LOGS = true;
    server.Post("/computers/c1/login", [](const auto&, auto& res) {
        res.headers.emplace_back("Authorization", "Bearer must-not-be-taken");
        answerJson(res, 401, R"({"message":"token revoked"})");
    });
    std::optional<std::string> token = "unset";
    auto rejected = logEntriesOf([&] { token = login("c1"); });
    EXPECT_EQ(token, std::nullopt);
    EXPECT_TRUE(inOrder(
        rejected, {"INFO Logging in as computerID: c1", "INFO Status code: 401",
                   "ERROR Request failed.", "INFO Raw JSON response:", "INFO Login Complete!"}));
    EXPECT_NE(qvtest::readFile(diagnosticLogPath()).find("token revoked"), std::string::npos);

    server.Post("/computers/c1/login",
                [](const auto&, auto& res) { answerJson(res, 500, "Internal Server Error"); });
    auto notJson = logEntriesOf([&] { token = login("c1"); });
    EXPECT_EQ(token, std::nullopt);
    EXPECT_TRUE(hasEntryStartingWith(notJson, "ERROR Error decoding JSON: "));

    // An identifier a URL cannot hold is percent-encoded, never an invalid URL
    // that would make every later login impossible.
    server.clearRequests();
    server.Post(R"(/computers/[\s\S]*/login)", [](const auto&, auto& res) { res.status = 401; });
    token = login("bad id/x?");
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/computers/bad%20id%2Fx%3F/login");

    checkInBaseUrl = "http://127.0.0.1:9";
    auto unreachable = logEntriesOf([&] { token = login("c1"); });
    EXPECT_EQ(token, std::nullopt);
    EXPECT_TRUE(hasEntryStartingWith(unreachable, "ERROR Request error: "));
    EXPECT_TRUE(hasEntry(unreachable, "INFO Login Complete!"));
}

// Records each wait; `onSleep` lets the test change the world meanwhile.
class FakeSleeper : public platform::Sleeper {
  public:
    void sleepFor(std::chrono::milliseconds duration) override {
        waits.push_back(duration.count());
        if (onSleep)
            onSleep(waits.size());
    }
    std::vector<std::int64_t> waits;
    std::function<void(std::size_t)> onSleep;
};

// The top of every range: the widest waits the backoff allows.
class HighRandom : public platform::RandomSource {
  public:
    std::int64_t uniform(std::int64_t, std::int64_t high) override { return high; }
};

TEST_F(Enrollment, RetriesRegistrationOnItsBackoffUntilTheServerIsBack) {
    qvtest::writeFile(installerFile(), "KEY\\nACME\\nHQ");
    std::atomic<bool> up{false};
    server.Post("/computers/mac", [&](const auto&, auto& res) {
        if (up)
            answerJson(res, 200, R"({"id":"cmp-9"})");
        else
            answerJson(res, 503, R"({"error":"maintenance"})");
    });
    server.Post("/computers/cmp-9/login", [](const auto&, auto& res) {
        res.headers.emplace_back("Authorization", "Bearer t9");
        answerJson(res, 200, "{}");
    });
    FakeSleeper sleeper;
    sleeper.onSleep = [&](std::size_t sleeps) { up = sleeps == 2; };
    HighRandom random;

    std::optional<std::string> computerId;
    auto log = logEntriesOf([&] { computerId = enrollUntilTokenHeld({sleeper, random}); });

    EXPECT_EQ(computerId, "cmp-9");
    EXPECT_EQ(authorizationToken.get(), "Bearer t9");
    // Slot 1 of 0..1, then slot 3 of 0..3; 5 s slots, jitter up to 5001 ms.
    EXPECT_EQ(sleeper.waits, (std::vector<std::int64_t>{10001, 20001}));
    auto registrations = requestsTo("/computers/mac");
    ASSERT_EQ(registrations.size(), 3u);
    EXPECT_EQ(Json::parse(registrations[2].body)["licenseKey"], "KEY");
    // Each attempt logs as the first one does.
    EXPECT_EQ(std::count(log.begin(), log.end(), "INFO Registering computer..."), 3);
    EXPECT_EQ(std::count(log.begin(), log.end(), "TITLE Agent Info"), 3);
    EXPECT_TRUE(
        inOrder(log, {"INFO Computer ID: nil", "INFO Authorization token not set.",
                      "INFO Retrying enrollment in 10001 ms.", "INFO Computer ID: nil",
                      "INFO Authorization token not set.", "INFO Retrying enrollment in 20001 ms.",
                      "INFO Registering computer...", "INFO Computer ID: Optional(\"cmp-9\")"}));
    EXPECT_FALSE(
        hasEntry(log, "INFO Authorization token is set."));  // the caller goes on from here
}

TEST_F(Enrollment, RetryWithAStoredIdentifierLogsInAgainAndNeverRegisters) {
    platform::Preferences::setValue("computerId", "known", BUNDLE_ID);
    std::atomic<bool> up{false};
    server.Post("/computers/known/login", [&](const auto&, auto& res) {
        if (up)
            res.headers.emplace_back("Authorization", "Bearer k");
        answerJson(res, up ? 200 : 404, R"({"error":"not found"})");
    });
    FakeSleeper sleeper;
    sleeper.onSleep = [&](std::size_t) { up = true; };
    HighRandom random;

    std::optional<std::string> computerId;
    auto log = logEntriesOf([&] { computerId = enrollUntilTokenHeld({sleeper, random}); });

    EXPECT_EQ(computerId, "known");
    EXPECT_EQ(App::Core::State::GetValueFromMemory(MemoryKey::authorizationToken), "Bearer k");
    EXPECT_EQ(sleeper.waits.size(), 1u);
    EXPECT_EQ(requestsTo("/computers/known/login").size(), 2u);
    EXPECT_TRUE(requestsTo("/computers/mac").empty());
    EXPECT_EQ(std::count(log.begin(), log.end(), "INFO Computer ID: Optional(\"known\")"), 2);
}

}  // namespace
