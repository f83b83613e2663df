// The shared URL session against loopback servers: what crosses the wire,
// how completions are delivered, and which failures are transport errors.

#include "platform/http_session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/certificate.h"
#include "support/loopback_server.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::DataTaskResult;
using platform::DownloadTaskResult;
using platform::HeaderList;
using platform::HttpRequest;
using platform::HttpSession;

namespace {

using qvtest::CapturingServer;
using qvtest::parseWire;
using qvtest::RawServer;
using qvtest::readRequest;
using qvtest::sendAll;
using qvtest::waitForPeerToClose;
using qvtest::WireRequest;

constexpr auto kWait = 20s;

// ---------------------------------------------------------------------------

DataTaskResult fetch(HttpSession& session, HttpRequest request) {
    std::promise<DataTaskResult> done;
    auto future = done.get_future();
    session.dataTask(std::move(request),
                     [&done](DataTaskResult result) { done.set_value(std::move(result)); });
    if (future.wait_for(kWait) != std::future_status::ready) {
        ADD_FAILURE() << "no completion within " << kWait.count() << " s";
        return {};
    }
    return future.get();
}

DownloadTaskResult download(HttpSession& session, HttpRequest request, const fs::path& directory) {
    std::promise<DownloadTaskResult> done;
    auto future = done.get_future();
    session.downloadTask(std::move(request), directory,
                         [&done](DownloadTaskResult result) { done.set_value(std::move(result)); });
    if (future.wait_for(kWait) != std::future_status::ready) {
        ADD_FAILURE() << "no completion within " << kWait.count() << " s";
        return {};
    }
    return future.get();
}

HttpRequest request(std::string method, std::string url, HeaderList headers = {},
                    std::optional<std::string> body = std::nullopt) {
    HttpRequest r;
    r.method = std::move(method);
    r.url = std::move(url);
    r.headers = std::move(headers);
    r.body = std::move(body);
    return r;
}

std::string randomBytes(std::size_t size) {
    std::mt19937 generator(42);
    std::string bytes(size, '\0');
    for (auto& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

std::vector<fs::path> filesIn(const fs::path& directory) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory))
        files.push_back(entry.path());
    return files;
}

// A port nobody listens on: bound, read back, closed.
int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// ---------------------------------------------------------------------------
// What crosses the wire.

TEST(HttpSessionWire, SendsHeadersInGivenOrderAndAddsOnlyHostAndContentLength) {
    CapturingServer server;
    HttpSession session;
    HeaderList headers{{"Content-Type", "application/json; charset=utf-8"},
                       {"x-client-name", "mac-agent"},
                       {"Authorization", "token-123"},
                       {"Accept", "application/vnd.quorvel.v1+json"},
                       {"X-Empty", ""}};
    auto result =
        fetch(session, request("POST", server.url("/computers/state"), headers, R"({"a":1})"));
    ASSERT_FALSE(result.error) << *result.error;

    auto captured = server.captured();
    ASSERT_EQ(captured.size(), 1u);
    auto wire = parseWire(captured[0]);
    EXPECT_EQ(wire.requestLine, "POST /computers/state HTTP/1.1");
    EXPECT_EQ(wire.body, R"({"a":1})");

    HeaderList ours;
    int hosts = 0;
    int lengths = 0;
    for (const auto& [name, value] : wire.headers) {
        if (name == "Host") {
            ++hosts;
            EXPECT_EQ(value, server.url("").substr(7));  // "127.0.0.1:<port>"
        } else if (name == "Content-Length") {
            ++lengths;
            EXPECT_EQ(value, "7");
        } else {
            ours.emplace_back(name, value);
        }
    }
    EXPECT_EQ(hosts, 1);
    EXPECT_EQ(lengths, 1);
    EXPECT_EQ(ours, headers) << captured[0];
}

TEST(HttpSessionWire, AddsNoAcceptExpectOrContentTypeOfItsOwn) {
    CapturingServer server;
    HttpSession session;
    // A body large enough that libcurl would otherwise send "Expect: 100-continue".
    std::string big(2 * 1024 * 1024, 'x');
    ASSERT_FALSE(fetch(session, request("GET", server.url("/get"))).error);
    ASSERT_FALSE(fetch(session, request("POST", server.url("/empty-post"))).error);
    ASSERT_FALSE(fetch(session, request("PUT", server.url("/put"), {{"X-A", "1"}}, big)).error);
    ASSERT_FALSE(fetch(session, request("DELETE", server.url("/items/7"))).error);

    auto captured = server.captured();
    ASSERT_EQ(captured.size(), 4u);
    auto get = parseWire(captured[0]);
    EXPECT_EQ(get.requestLine, "GET /get HTTP/1.1");
    EXPECT_EQ(get.headers, (HeaderList{{"Host", server.url("").substr(7)}})) << captured[0];

    auto post = parseWire(captured[1]);
    EXPECT_EQ(post.requestLine, "POST /empty-post HTTP/1.1");
    EXPECT_EQ(post.headers,
              (HeaderList{{"Host", server.url("").substr(7)}, {"Content-Length", "0"}}))
        << captured[1];

    auto put = parseWire(captured[2]);
    EXPECT_EQ(put.requestLine, "PUT /put HTTP/1.1");
    EXPECT_EQ(put.headers, (HeaderList{{"Host", server.url("").substr(7)},
                                       {"X-A", "1"},
                                       {"Content-Length", std::to_string(big.size())}}))
        << captured[2].substr(0, 300);
    EXPECT_EQ(put.body.size(), big.size());

    auto del = parseWire(captured[3]);
    EXPECT_EQ(del.requestLine, "DELETE /items/7 HTTP/1.1");
    EXPECT_EQ(del.headers, (HeaderList{{"Host", server.url("").substr(7)}})) << captured[3];
}

// ---------------------------------------------------------------------------
// Responses.

TEST(HttpSessionResponse, DeliversStatusHeadersAndBody) {
    qvtest::LoopbackServer server;
    server.Post("/things", [](const qvtest::LoopbackRequest& req, qvtest::LoopbackResponse& res) {
        res.status = 201;
        res.headers = {{"X-Thing-Id", "42"}, {"x-lower", "yes"}};
        res.body = "created:" + req.body;
        res.contentType = "application/json";
    });
    server.Delete("/things/42", [](const auto&, auto& res) { res.status = 204; });
    HttpSession session;

    auto created = fetch(session, request("POST", server.url("/things"), {}, "payload"));
    ASSERT_FALSE(created.error) << *created.error;
    ASSERT_TRUE(created.response);
    EXPECT_EQ(created.response->statusCode, 201);
    EXPECT_EQ(created.body, "created:payload");
    EXPECT_EQ(created.response->header("X-Thing-Id"), "42");
    EXPECT_EQ(created.response->header("x-thing-id"), std::nullopt);
    EXPECT_EQ(created.response->headerIgnoringCase("x-thing-id"), "42");
    EXPECT_EQ(created.response->headerIgnoringCase("X-LOWER"), "yes");
    EXPECT_EQ(created.response->headerIgnoringCase("content-type"), "application/json");

    std::this_thread::sleep_for(200ms);  // idle: the network thread sleeps until a task wakes it
    auto deleted = fetch(session, request("DELETE", server.url("/things/42")));
    ASSERT_FALSE(deleted.error) << *deleted.error;
    EXPECT_EQ(deleted.response->statusCode, 204);
    EXPECT_FALSE(deleted.body) << "no byte came, so no body";

    auto missing = fetch(session, request("GET", server.url("/nothing-here")));
    ASSERT_TRUE(missing.response) << "a 404 is an answer, not a transport error";
    EXPECT_FALSE(missing.error);
    EXPECT_EQ(missing.response->statusCode, 404);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "payload");
    EXPECT_EQ(requests[1].method, "DELETE");
    EXPECT_EQ(requests[1].path, "/things/42");
    EXPECT_EQ(requests[1].body, "");
}

TEST(HttpSessionResponse, FollowsRedirectsAndKeepsOnlyTheLastResponsesHeaders) {
    qvtest::LoopbackServer server;
    server.Get("/old", [](const auto&, auto& res) {
        res.status = 302;
        res.headers = {{"Location", "/new"}, {"X-Hop", "first"}};
        res.body = "moved";
    });
    server.Get("/new", [](const auto&, auto& res) {
        res.headers = {{"X-Final", "yes"}};
        res.body = "arrived";
    });
    HttpSession session;
    auto result = fetch(session, request("GET", server.url("/old")));
    ASSERT_FALSE(result.error) << *result.error;
    EXPECT_EQ(result.response->statusCode, 200);
    EXPECT_EQ(result.body, "arrived");
    EXPECT_EQ(result.response->header("X-Final"), "yes");
    EXPECT_EQ(result.response->header("X-Hop"), std::nullopt);
    EXPECT_EQ(result.response->header("Location"), std::nullopt);
}

TEST(HttpSessionResponse, AuthorizationIsNotSentToAnotherHostAfterARedirect) {
    qvtest::LoopbackServer other;
    other.Get("/landing", [](const auto&, auto& res) { res.body = "other host"; });
    qvtest::LoopbackServer origin;
    // Same machine, other host name: libcurl compares host names.
    std::string elsewhere = "http://localhost:" + std::to_string(other.port()) + "/landing";
    origin.Get("/same", [](const auto&, auto& res) {
        res.status = 302;
        res.headers = {{"Location", "/landing"}};
    });
    origin.Get("/landing", [](const auto&, auto& res) { res.body = "same host"; });
    origin.Get("/away", [elsewhere](const auto&, auto& res) {
        res.status = 302;
        res.headers = {{"Location", elsewhere}};
    });
    HttpSession session;
    HeaderList headers{{"Authorization", "secret-token"}, {"x-client-name", "mac-agent"}};

    auto same = fetch(session, request("GET", origin.url("/same"), headers));
    ASSERT_FALSE(same.error) << *same.error;
    auto away = fetch(session, request("GET", origin.url("/away"), headers));
    ASSERT_FALSE(away.error) << *away.error;
    EXPECT_EQ(away.body, "other host");

    auto originRequests = origin.requests();
    ASSERT_EQ(originRequests.size(), 3u);
    EXPECT_EQ(originRequests[1].path, "/landing");
    EXPECT_EQ(originRequests[1].header("Authorization"), "secret-token");
    auto otherRequests = other.requests();
    ASSERT_EQ(otherRequests.size(), 1u);
    EXPECT_EQ(otherRequests[0].header("Authorization"), std::nullopt);
    EXPECT_EQ(otherRequests[0].header("x-client-name"), "mac-agent");
}

// ---------------------------------------------------------------------------
// Completion delivery.

TEST(HttpSessionCallbacks, TaskStartedInsideAHandlerCompletesAfterThatHandlerReturns) {
    qvtest::LoopbackServer server;
    server.Get("/first", [](const auto&, auto& res) { res.body = "1"; });
    server.Get("/second", [](const auto&, auto& res) { res.body = "2"; });
    HttpSession session;

    std::atomic<bool> firstReturned{false};
    std::thread::id firstThread;
    std::promise<std::pair<bool, std::thread::id>> secondSaw;
    session.dataTask(request("GET", server.url("/first")), [&](DataTaskResult first) {
        firstThread = std::this_thread::get_id();
        EXPECT_EQ(first.body, "1");
        session.dataTask(request("GET", server.url("/second")), [&](DataTaskResult second) {
            EXPECT_EQ(second.body, "2");
            secondSaw.set_value({firstReturned.load(), std::this_thread::get_id()});
        });
        // Give the second transfer ample time to finish while this handler still runs.
        ASSERT_TRUE(server.waitForRequests(2, 5s));
        std::this_thread::sleep_for(200ms);
        firstReturned = true;
    });
    auto future = secondSaw.get_future();
    ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
    auto [returned, secondThread] = future.get();
    EXPECT_TRUE(returned) << "the second completion ran while the first handler was running";
    EXPECT_EQ(secondThread, firstThread) << "completions run on one serial queue";
    EXPECT_NE(secondThread, std::this_thread::get_id());
}

TEST(HttpSessionCallbacks, CompletionsArriveInCompletionOrderNotStartOrder) {
    // Declared before the server, whose destruction joins the handler using them.
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    qvtest::LoopbackServer server;
    server.Get("/slow", [&](const auto&, auto& res) {
        std::unique_lock lock(mutex);
        res.body = released.wait_for(lock, 5s, [&] { return release; }) ? "slow" : "gave up";
    });
    server.Get("/fast", [](const auto&, auto& res) { res.body = "fast"; });
    HttpSession session;

    std::mutex orderMutex;
    std::vector<std::string> order;
    std::promise<void> bothDone;
    auto record = [&](DataTaskResult result) {
        std::lock_guard lock(orderMutex);
        order.push_back(result.body.value_or(result.error.value_or("?")));
        if (order.size() == 2)
            bothDone.set_value();
    };
    session.dataTask(request("GET", server.url("/slow")), record);
    ASSERT_TRUE(server.waitForRequests(1, 5s));
    session.dataTask(request("GET", server.url("/fast")), [&](DataTaskResult result) {
        record(std::move(result));
        std::lock_guard lock(mutex);
        release = true;
        released.notify_all();
    });
    ASSERT_EQ(bothDone.get_future().wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(order, (std::vector<std::string>{"fast", "slow"}));
}

TEST(HttpSessionCallbacks, ManyTransfersAreInFlightAtOnce) {
    constexpr int kTransfers = 12;
    // Declared before the server, whose destruction joins the handlers using them.
    std::mutex mutex;
    std::condition_variable allHere;
    int arrived = 0;
    qvtest::LoopbackServer server;
    // Each request is held until all of them have arrived: a session that runs
    // transfers one after another never gets past the first.
    server.Get(R"(/held/\d+)", [&](const qvtest::LoopbackRequest& req, auto& res) {
        std::unique_lock lock(mutex);
        ++arrived;
        allHere.notify_all();
        bool together = allHere.wait_for(lock, 10s, [&] { return arrived >= kTransfers; });
        res.status = together ? 200 : 503;
        res.body = req.path;
    });
    HttpSession session;

    std::mutex resultsMutex;
    std::vector<DataTaskResult> results;
    std::promise<void> allDone;
    for (int i = 0; i < kTransfers; ++i) {
        session.dataTask(request("GET", server.url("/held/" + std::to_string(i))),
                         [&](DataTaskResult r) {
                             std::lock_guard lock(resultsMutex);
                             results.push_back(std::move(r));
                             if (results.size() == kTransfers)
                                 allDone.set_value();
                         });
    }
    ASSERT_EQ(allDone.get_future().wait_for(kWait), std::future_status::ready);
    std::set<std::string> paths;
    for (const auto& r : results) {
        ASSERT_FALSE(r.error) << *r.error;
        EXPECT_EQ(r.response->statusCode, 200);
        paths.insert(r.body.value_or(""));
    }
    EXPECT_EQ(paths.size(), static_cast<std::size_t>(kTransfers));
}

TEST(HttpSessionCallbacks, DestroyingASessionCancelsTransfersInFlight) {
    std::promise<void> connected;
    RawServer silent([&](int fd) {
        readRequest(fd);
        connected.set_value();
        waitForPeerToClose(fd);
    });
    auto session = std::make_unique<HttpSession>();
    std::promise<DataTaskResult> done;
    session->dataTask(request("GET", silent.url("/never")),
                      [&](DataTaskResult result) { done.set_value(std::move(result)); });
    ASSERT_EQ(connected.get_future().wait_for(kWait), std::future_status::ready);

    auto before = std::chrono::steady_clock::now();
    session.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(0s), std::future_status::ready)
        << "delivered before the destructor returned";
    auto result = future.get();
    ASSERT_TRUE(result.error);
    EXPECT_NE(result.error->find("cancelled"), std::string::npos) << *result.error;
}

// ---------------------------------------------------------------------------
// Transport errors.

TEST(HttpSessionErrors, RefusedConnectionIsATransportError) {
    HttpSession session;
    auto result =
        fetch(session, request("GET", "http://127.0.0.1:" + std::to_string(closedPort()) + "/"));
    ASSERT_TRUE(result.error);
    EXPECT_FALSE(result.response);
    EXPECT_FALSE(result.body);
    // curl_easy_strerror text, then the error buffer's detail.
    EXPECT_EQ(result.error->rfind("Couldn't connect to server: ", 0), 0u) << *result.error;
    EXPECT_NE(result.error->find("127.0.0.1"), std::string::npos) << *result.error;
}

TEST(HttpSessionErrors, ConnectionDroppedBeforeOrDuringTheAnswerIsATransportError) {
    RawServer dropper([](int fd) {
        readRequest(fd);
        ::shutdown(fd, SHUT_RDWR);
    });
    qvtest::LoopbackServer truncating;
    truncating.Get("/partial", [](const auto&, auto& res) {
        res.body = std::string(100000, 'b');
        res.dropAfterBytes = 1000;
    });
    HttpSession session;

    auto empty = fetch(session, request("GET", dropper.url("/")));
    ASSERT_TRUE(empty.error);
    EXPECT_FALSE(empty.response);
    EXPECT_NE(empty.error->find("Empty reply"), std::string::npos) << *empty.error;

    auto partial = fetch(session, request("GET", truncating.url("/partial")));
    ASSERT_TRUE(partial.error);
    EXPECT_FALSE(partial.response);
    EXPECT_FALSE(partial.body);
    EXPECT_NE(partial.error->find("partial"), std::string::npos) << *partial.error;
}

TEST(HttpSessionErrors, DataBodyOverEightMiBIsATransportError) {
    qvtest::LoopbackServer server;
    server.Get("/at-limit", [](const auto&, auto& res) {
        res.body = std::string(HttpSession::kMaxDataBodyBytes, 'a');
    });
    server.Get("/over-limit", [](const auto&, auto& res) {
        res.body = std::string(HttpSession::kMaxDataBodyBytes + 1, 'a');
    });
    HttpSession session;

    auto atLimit = fetch(session, request("GET", server.url("/at-limit")));
    ASSERT_FALSE(atLimit.error) << *atLimit.error;
    EXPECT_EQ(atLimit.body->size(), HttpSession::kMaxDataBodyBytes);

    auto over = fetch(session, request("GET", server.url("/over-limit")));
    ASSERT_TRUE(over.error);
    EXPECT_FALSE(over.response);
    EXPECT_FALSE(over.body);
    EXPECT_NE(over.error->find("8388608"), std::string::npos) << *over.error;
}

TEST(HttpSessionErrors, NoProgressForTheTimeoutIsATransportError) {
    RawServer silent([](int fd) {
        readRequest(fd);
        waitForPeerToClose(fd);  // accepts, reads, never answers
    });
    HttpSession session;
    auto slowStart = request("GET", silent.url("/silent"));
    slowStart.timeout = 1s;
    auto before = std::chrono::steady_clock::now();
    auto result = fetch(session, slowStart);
    auto elapsed = std::chrono::steady_clock::now() - before;
    ASSERT_TRUE(result.error);
    EXPECT_FALSE(result.response);
    EXPECT_NE(result.error->find("Timeout was reached"), std::string::npos) << *result.error;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 10s);
}

TEST(HttpSessionErrors, ADataTaskEndsAfterTwiceTheTimeoutButADownloadFlowsOn) {
    RawServer trickler([](int fd) {
        readRequest(fd);
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\nConnection: close\r\n\r\n");
        // 9 bytes over 4.5 s, twice the time-out. (libcurl samples its speed once a
        // second, so a time-out of 1 s would be too coarse to hold steadily.)
        for (char c : std::string("trickling")) {
            std::this_thread::sleep_for(500ms);
            sendAll(fd, std::string(1, c));
        }
        ::shutdown(fd, SHUT_WR);
        waitForPeerToClose(fd);
    });
    HttpSession session;
    auto slow = request("GET", trickler.url("/slow"));
    slow.timeout = 2s;
    qvtest::TempDir dir;
    auto downloaded = download(session, slow, dir.path());
    ASSERT_FALSE(downloaded.error) << *downloaded.error;
    EXPECT_EQ(qvtest::readFile(downloaded.location->string()), "trickling");

    // A JSON answer that trickles cannot hold its caller beyond twice the time-out.
    slow.timeout = 1s;
    auto result = fetch(session, slow);
    ASSERT_TRUE(result.error);
    EXPECT_NE(result.error->find("Timeout was reached"), std::string::npos) << *result.error;
}

// ---------------------------------------------------------------------------
// Download tasks.

TEST(HttpSessionDownload, StreamsTheBodyIntoAPrivateFileWithoutTheDataLimit) {
    const std::string payload = randomBytes(HttpSession::kMaxDataBodyBytes + 1024 * 1024);
    qvtest::LoopbackServer server;
    server.Get("/payload.pkg", [&](const auto&, auto& res) {
        res.body = payload;
        res.contentType = "application/octet-stream";
        res.headers = {{"X-Checksum", "abc"}};
    });
    qvtest::TempDir temp;
    HttpSession session;

    auto result = download(session, request("GET", server.url("/payload.pkg")), temp.path());
    ASSERT_FALSE(result.error) << *result.error;
    ASSERT_TRUE(result.location);
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 200);
    EXPECT_EQ(result.response->header("X-Checksum"), "abc");
    EXPECT_EQ(result.location->parent_path(), temp.path());
    EXPECT_EQ(result.location->filename().string().rfind("download-", 0), 0u);
    struct stat info {};
    ASSERT_EQ(::stat(result.location->c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_TRUE(qvtest::readFile(*result.location) == payload) << "downloaded bytes differ";
}

TEST(HttpSessionDownload, AFailedDownloadLeavesNoFile) {
    qvtest::LoopbackServer server;
    server.Get("/cut.pkg", [](const auto&, auto& res) {
        res.body = std::string(1024 * 1024, 'p');
        res.dropAfterBytes = 64 * 1024;
    });
    qvtest::TempDir temp;
    HttpSession session;

    auto cut = download(session, request("GET", server.url("/cut.pkg")), temp.path());
    ASSERT_TRUE(cut.error);
    EXPECT_FALSE(cut.location);
    EXPECT_FALSE(cut.response);
    EXPECT_TRUE(filesIn(temp.path()).empty());

    auto refused =
        download(session, request("GET", "http://127.0.0.1:" + std::to_string(closedPort()) + "/"),
                 temp.path());
    ASSERT_TRUE(refused.error);
    EXPECT_TRUE(filesIn(temp.path()).empty());

    auto nowhere = download(session, request("GET", server.url("/cut.pkg")), temp / "missing");
    ASSERT_TRUE(nowhere.error);
    EXPECT_NE(nowhere.error->find("missing"), std::string::npos) << *nowhere.error;
}

// ---------------------------------------------------------------------------
// TLS: verification is always on; an extra CA file is trusted.

TEST(HttpSessionTls, PeerIsVerifiedAndTheExtraCaFileIsTrusted) {
    qvtest::TempDir temp;
    auto files = qvtest::makeSelfSignedCertificate(temp.path());
    qvtest::LoopbackServer server(files);
    server.Get("/secure", [](const auto&, auto& res) { res.body = "secret"; });
    const std::string url = server.url("/secure");

    {
        HttpSession systemOnly;
        auto rejected = fetch(systemOnly, request("GET", url));
        ASSERT_TRUE(rejected.error);
        EXPECT_FALSE(rejected.response);
        EXPECT_NE(rejected.error->find("certificate"), std::string::npos) << *rejected.error;
    }
    {
        HttpSession withCa(files.certificate.string());
        auto accepted = fetch(withCa, request("GET", url));
        ASSERT_FALSE(accepted.error) << *accepted.error;
        EXPECT_EQ(accepted.body, "secret");
    }
    {
        HttpSession missingCa((temp / "absent.pem").string());
        auto failed = fetch(missingCa, request("GET", url));
        ASSERT_TRUE(failed.error);
        EXPECT_NE(failed.error->find("absent.pem"), std::string::npos) << *failed.error;
    }
}

// ---------------------------------------------------------------------------

TEST(UrlValidation, AcceptsAbsoluteUrlsWithSchemeAndHost) {
    for (const char* url :
         {"https://admin.quorvel.example", "https://realtime.quorvel.example/computers/state",
          "http://127.0.0.1:8080/a/b?c=d&e=f#frag", "http://[::1]:9000/",
          "https://deploy.quorvel.example/computers/mac?id=A%20B",
          "https://user@host.example/path"}) {
        EXPECT_TRUE(platform::isValidUrl(url)) << url;
    }
}

TEST(UrlValidation, RejectsTextThatIsNotAnAbsoluteUrlOrHoldsForbiddenCharacters) {
    for (const char* url : {"",
                            "not a url",
                            "admin.quorvel.example/computers",
                            "/computers/state",
                            "https://",
                            "https:///path",
                            "file:///etc/passwd",
                            "https://host.example/with space",
                            "https://host.example/tab\there",
                            "https://host.example/line\nbreak",
                            " https://host.example",
                            "https://host.example/\x7f",
                            "https://host.example/caf\xc3\xa9",
                            "https://host.example/{id}",
                            "https://host.example/a\"b",
                            "https://host.example/100%",
                            "https://host.example/%zz",
                            "https://host.example/a#b#c",
                            "https://host.example/a|b",
                            "https://host.example/a\\b"}) {
        EXPECT_FALSE(platform::isValidUrl(url)) << url;
    }
}

}  // namespace
