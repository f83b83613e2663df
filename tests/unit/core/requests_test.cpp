// The daemon's own requests as they cross the wire.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "daemon/core/app_core.h"
#include "daemon/core/requests.h"
#include "daemon/core/unexpected.h"
#include "platform/dispatch.h"
#include "support/log_capture.h"
#include "support/raw_server.h"

namespace {

using namespace QVAgentLaunchDaemon;

qvtest::WireRequest sendAndCapture(
    platform::HttpRequest request,
    const std::function<void(const platform::DataTaskResult&)>& then = [](const auto&) {}) {
    qvtest::CapturingServer server;
    request.url = server.url(request.url);
    bool handled = false;
    sendAndWait(std::move(request), [&](const platform::DataTaskResult& result) {
        EXPECT_FALSE(result.error) << *result.error;
        handled = true;
        then(result);
    });
    EXPECT_TRUE(handled);  // sendAndWait returns only after the handler ran
    auto captured = server.captured();
    EXPECT_EQ(captured.size(), 1u);
    return captured.empty() ? qvtest::WireRequest{} : qvtest::parseWire(captured.front());
}

std::vector<std::string> names(const platform::HeaderList& headers) {
    std::vector<std::string> result;
    for (const auto& [name, value] : headers)
        result.push_back(name);
    return result;
}

TEST(DaemonRequests, AuthorizedGetCarriesTheCommonHeadersInOrderAndNothingElse) {
    auto wire = sendAndCapture(makeRequest(
        "GET", "/computers/configuration",
        {.accept = "application/vnd.quorvel.v3+json", .authorization = "Bearer tok-1"}));
    EXPECT_EQ(wire.requestLine, "GET /computers/configuration HTTP/1.1");
    EXPECT_EQ(names(wire.headers),
              (std::vector<std::string>{"Host", "Content-Type", "Accept", "Authorization",
                                        "x-client-name", "x-client-version"}));
    const platform::HeaderList expected{{"Content-Type", "application/json; charset=utf-8"},
                                        {"Accept", "application/vnd.quorvel.v3+json"},
                                        {"Authorization", "Bearer tok-1"},
                                        {"x-client-name", "mac-agent"},
                                        {"x-client-version", App::Core::Metadata::version()}};
    EXPECT_EQ(platform::HeaderList(wire.headers.begin() + 1, wire.headers.end()), expected);
    EXPECT_EQ(wire.body, "");
}

TEST(DaemonRequests, EnrollmentPostHasNoAcceptNoAuthorizationAndItsBody) {
    auto wire = sendAndCapture(makeRequest("POST", "/computers/mac", {}, R"({"platform":"mac"})"));
    EXPECT_EQ(wire.requestLine, "POST /computers/mac HTTP/1.1");
    EXPECT_EQ(names(wire.headers),
              (std::vector<std::string>{"Host", "Content-Type", "x-client-name", "x-client-version",
                                        "Content-Length"}));
    EXPECT_EQ(wire.body, R"({"platform":"mac"})");
}

TEST(DaemonRequests, EmptyTokenIsStillSentAsAnEmptyHeader) {
    // Check-in without a token sends "Authorization" with the empty string.
    auto wire = sendAndCapture(makeRequest("POST", "/checkin", {std::nullopt, ""}));
    ASSERT_GE(wire.headers.size(), 3u);
    EXPECT_EQ(wire.headers[2], (std::pair<std::string, std::string>{"Authorization", ""}));
}

TEST(DaemonRequests, AThrowingHandlerEndsTheWaitAndEveryTaskEdgeLogsWhatEscapes) {
    platform::HttpRequest request = makeRequest("GET", "/x");
    EXPECT_THROW(sendAndCapture(request, [](const auto&) { throw std::bad_alloc(); }),
                 std::bad_alloc);
    auto log = qvtest::logEntriesOf([] {
        EXPECT_FALSE(runLoggingUnexpected([] { throw std::runtime_error("boom"); }));
        detachTask("qv-test", [] { throw 42; });
        ASSERT_TRUE(platform::Tasks::waitIdle(std::chrono::seconds(5)));
    });
    EXPECT_EQ(log,
              (std::vector<std::string>{"ERROR Unexpected error: boom",
                                        "ERROR Unexpected error: an exception of unknown type"}));
}

TEST(DaemonRequests, TheTokenGoesOnlyToTheOriginOfTheApi) {
    const std::string api = "https://realtime.example";
    for (const auto& [url, same] : std::vector<std::pair<std::string, bool>>{
             {"https://realtime.example/packages/u.pkg", true},
             {"https://REALTIME.example:443/p", true},
             {"http://realtime.example/p", false},
             {"https://realtime.example:8443/p", false},
             {"https://realtime.example.storage.example/p", false},
             {"https://realtime.example@storage.example/p", false},
             {"not a url", false}}) {
        EXPECT_EQ(platform::sameOrigin(url, api), same) << url;
    }
}

}  // namespace
