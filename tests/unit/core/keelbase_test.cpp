// The framework's transport and REST gateways against a loopback server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "daemon/core/app_core.h"
#include "keelbase/constants.h"
#include "keelbase/rest_gateways.h"
#include "platform/system_root.h"
#include "support/loopback_server.h"
#include "support/system_roots.h"
#include "support/temp_dir.h"

namespace {

using namespace Keelbase::Adapters;
using Keelbase::GatewayError;

class Framework : public ::testing::Test {
  protected:
    void SetUp() override { qvtest::useRoot(root.str()); }
    void TearDown() override { qvtest::restoreScratchRoot(); }

    PostFunction postThrough(BaseGateway::UrlSession& session) {
        return [&session](const std::string& url, const std::optional<std::string>& token,
                          const platform::Json& payload,
                          int version) { return session.post(url, token, payload, version); };
    }

    qvtest::TempDir root;
    qvtest::LoopbackServer server;
    BaseGateway::UrlSession session{"9.8.7"};
};

TEST_F(Framework, GatewaysReadTheTokenAtEveryCall) {
    server.Post("/computers/state", [](const auto&, auto& res) { res.status = 201; });
    std::optional<std::string> token = "Bearer first";
    ComputerStatesGateway::REST gateway(postThrough(session),
                                        "http://127.0.0.1:" + std::to_string(server.port()),
                                        [&] { return token; });
    gateway.create("9.8.7");
    token = "Bearer second";
    gateway.create("9.8.7");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer first");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer second");
    EXPECT_EQ(platform::Json::parse(requests[0].body),
              platform::Json::parse(R"({"agentVersion":"9.8.7"})"));
    EXPECT_EQ(requests[0].header("Accept"), "application/vnd.quorvel.v1+json");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(requests[0].header("x-client-name"), "mac-agent");
    EXPECT_EQ(requests[0].header("x-client-version"), "9.8.7");
}

TEST_F(Framework, NonSuccessAndTransportErrorsThrowNamingTheUrl) {
    server.Post("/computers/pendingActions/completed",
                [](const auto&, auto& res) { res.status = 409; });
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    ComputersGateway::REST gateway(postThrough(session), base, [] { return std::nullopt; });
    try {
        gateway.pendingActionCompleted("updateAgent");
        FAIL() << "a 409 must throw";
    } catch (const GatewayError& e) {
        EXPECT_NE(std::string(e.what()).find(base + "/computers/pendingActions/completed"),
                  std::string::npos);
        EXPECT_NE(std::string(e.what()).find("409"), std::string::npos);
    }
    EXPECT_EQ(platform::Json::parse(server.requests().at(0).body)["actionType"], "updateAgent");

    ComputersGateway::REST unreachable(postThrough(session), "http://127.0.0.1:9",
                                       [] { return std::nullopt; });
    EXPECT_THROW(unreachable.pendingActionCompleted("updateAgent"), GatewayError);
}

TEST_F(Framework, AgentUpdateRequestEntityAndStatusBodies) {
    server.Post("/agentUpdateRequests", [](const auto&, auto& res) {
        res.body =
            R"({"id":"req-1","targetVersion":"2.0.0","payloadUrl":"http://x/p.pkg","payloadSha256":"ab"})";
    });
    server.Post("/agentUpdateRequests/req-1/status",
                [](const auto&, auto& res) { res.status = 204; });
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    AgentUpdateRequestsGateway::REST gateway(postThrough(session), base, [] { return "t"; });

    auto entity = gateway.createRequest("upd-9", "1.0.0");
    EXPECT_EQ(entity.id, "req-1");
    EXPECT_EQ(entity.payloadUrl, "http://x/p.pkg");
    EXPECT_EQ(platform::Json::parse(server.requests().at(0).body),
              platform::Json::parse(R"({"agentUpdateId":"upd-9","currentVersion":"1.0.0"})"));

    gateway.updateStatusToDownloadStarted("req-1");
    gateway.updateStatusToFailed("req-1", "Failed to install the new Agent update.");
    auto requests = server.requests();
    EXPECT_EQ(platform::Json::parse(requests.at(1).body)["status"], "downloadStarted");
    EXPECT_EQ(
        platform::Json::parse(requests.at(2).body),
        platform::Json::parse(
            R"({"status":"failed","errorMessage":"Failed to install the new Agent update."})"));

    server.Post("/agentUpdateRequests",
                [](const auto&, auto& res) { res.body = R"({"id":"req-1"})"; });
    EXPECT_THROW(gateway.createRequest("upd-9", "1.0.0"), GatewayError);
}

TEST_F(Framework, DownloadStreamsToAPrivateFileAndRemovesFailures) {
    server.Get("/pkg", [](const auto&, auto& res) { res.body = std::string(300000, 'p'); });
    server.Get("/missing", [](const auto&, auto& res) {
        res.status = 404;
        res.body = "gone";
    });
    const std::string path = session.downloadFile(server.url("/pkg"), ".pkg", "Bearer t");
    EXPECT_EQ(
        std::filesystem::path(path).parent_path(),
        std::filesystem::path(root.str() + "/Library/Application Support/Tessaly/Quorvel/temp"));
    EXPECT_EQ(std::filesystem::path(path).extension(), ".pkg");
    EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("update-", 0), 0u);
    EXPECT_EQ(std::filesystem::file_size(path), 300000u);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer t");

    EXPECT_THROW(session.downloadFile(server.url("/missing"), ".pkg", std::nullopt), GatewayError);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        ++files;
    }
    EXPECT_EQ(files, 1u);  // only the successful download
}

TEST(AppCore, EachResourceHasItsOwnTransportAndMemoryStateCanBeCleared) {
    namespace Core = QVAgentLaunchDaemon::App::Core;
    using Core::AgentUpdateRequests, Core::AgentUpdates, Core::Computers, Core::ComputerStates,
        Core::Metadata;
    using CoreState = Core::State;
    std::set<const void*> sessions{&Computers::baseGateway(), &ComputerStates::baseGateway(),
                                   &AgentUpdateRequests::baseGateway(), &AgentUpdates::gateway()};
    EXPECT_EQ(sessions.size(), 4u);

    CoreState::SetValueInMemory(CoreState::MemoryKey::authorizationToken, "Bearer abc");
    EXPECT_EQ(CoreState::GetValueFromMemory(CoreState::MemoryKey::authorizationToken),
              "Bearer abc");
    CoreState::SetValueInMemory(CoreState::MemoryKey::authorizationToken, std::nullopt);
    EXPECT_EQ(CoreState::GetValueFromMemory(CoreState::MemoryKey::authorizationToken),
              std::nullopt);
    EXPECT_EQ(Metadata::bundleId(), "com.tessaly.Quorvel");
}

}  // namespace
