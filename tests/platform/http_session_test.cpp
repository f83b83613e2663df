// The shared URL session against a scripted loopback peer: the bytes that
// cross the wire, the answers and transport errors handed back, what a closing
// session does to a transfer in flight; an unreadable CA file; URL validation.

#include "platform/http_session.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <random>

#include "support/checks.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using platform::HeaderList;
using platform::HttpSession;
using Script = std::function<void(int fd)>;
const std::string kAtLimit(HttpSession::kMaxDataBodyBytes, 'a');

// Answers with `head` (status and headers), a Content-Length of `announced`
// (the body's own by default) and the body - a byte every `gap` when one is
// given - and closes the connection.
Script answer(std::string head, std::string body = "", std::size_t announced = 0,
              std::chrono::milliseconds gap = 0ms) {
    return [=](int fd) {
        qvtest::sendAll(fd, "HTTP/1.1 " + head + "\r\nContent-Length: " +
                                std::to_string(announced ? announced : body.size()) +
                                "\r\nConnection: close\r\n\r\n" + (gap > 0ms ? "" : body));
        for (std::size_t i = 0; gap > 0ms && i < body.size(); ++i) {
            std::this_thread::sleep_for(gap);
            qvtest::sendAll(fd, body.substr(i, 1));
        }
        ::shutdown(fd, SHUT_WR);
    };
}

// A session and a raw loopback peer that keeps each request as it crossed the
// wire, by its request line, and answers it as scripted for its path (200 "ok"
// when not).
class HttpWorld : public testing::Test {
  protected:
    std::string url(const std::string& path) const { return server_.url(path); }
    std::string host() const { return url("").substr(7); }  // 127.0.0.1:<port>
    platform::HttpRequest get(const std::string& path, HeaderList headers = {}) const {
        return {"GET", url(path), std::move(headers), {}, 60s};
    }
    std::map<std::string, qvtest::WireRequest> sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }

    std::map<std::string, Script> scripts_ = {
        {"/things", answer("201 Created\r\nX-Id: 42\r\nx-za:  yes \r\nX-Fold: a\r\n\tb", "made")},
        {"/empty", answer("204 No Content")},
        {"/old", answer("302 Found\r\nLocation: /new\r\nX-Hop: first", "moved")},
        {"/new", answer("200 OK\r\nX-Final: yes", "arrived")},
        {"/at-limit", answer("200 OK", kAtLimit)},
        {"/over-limit", answer("200 OK", kAtLimit + "a")},
        {"/partial", answer("200 OK", std::string(1000, 'b'), 100000)},
        {"/dropped", [](int fd) { ::shutdown(fd, SHUT_RDWR); }},
        {"/silent", qvtest::waitForPeerToClose},
        // 9 bytes over 4.5 s: more than twice a time-out of 2 s, never 2 s without a byte.
        // (libcurl samples the speed once a second: a time-out of 1 s would be too coarse.)
        {"/trickle", answer("200 OK", "trickling", 0, 500ms)}};
    HttpSession session_;

  private:
    std::mutex mutex_;
    std::map<std::string, qvtest::WireRequest> sent_;
    qvtest::RawServer server_{[this](int fd) {
        const auto request = qvtest::parseWire(qvtest::readRequest(fd));
        std::unique_lock lock(mutex_);
        sent_[request.requestLine] = request;
        lock.unlock();
        auto path = request.requestLine.substr(request.requestLine.find(' ') + 1);
        const auto script = scripts_.find(path.substr(0, path.find_first_of(" ?")));
        (script == scripts_.end() ? answer("200 OK", "ok") : script->second)(fd);
    }};
};

// Each row a request and what must come of it: the last answer (status and
// body, or the bytes downloaded into a private file) or a transport error; and
// on the wire Host, the given headers in order, and Content-Length when there
// is a body or a POST - nothing else (no Accept, Expect or Content-Type).
TEST_F(HttpWorld, SendsExactlyTheGivenRequestAndHandsBackTheLastAnswerOrATransportError) {
    const std::string big(2 * 1024 * 1024, 'x');  // libcurl would send "Expect: 100-continue"
    std::string payload(HttpSession::kMaxDataBodyBytes + 1024 * 1024, '\0');  // beyond the limit
    std::generate(payload.begin(), payload.end(), std::mt19937(42));
    scripts_["/payload.pkg"] = answer("200 OK", payload);
    const std::string elsewhere = "localhost" + host().substr(9);  // the same peer, another name
    scripts_["/away"] = answer("302 Found\r\nLocation: http://" + elsewhere + "/landing");
    const HeaderList mine{
        {"Content-Type", "a/b"}, {"x-client", "mac"}, {"Accept", "c/d"}, {"X-Empty", ""}};
    qvtest::TempDir temp;
    // method, path, "<status> <body or downloaded bytes>" ("-" without a byte) or a part of the
    // transport error, headers, body, the path of the last hop, download, time-out
    using Row = std::tuple<std::string, std::string, std::string, HeaderList,
                           std::optional<std::string>, std::string, bool, std::chrono::seconds>;
    const Row rows[] = {
        {"POST", "/state", "200 ok", mine, R"({"a":1})", "", false, 60s},
        {"PUT", "/put", "200 ok", {{"X-A", "1"}}, big, "", false, 60s},
        {"POST", "/empty-post", "200 ok", {}, {}, "", false, 60s},
        {"DELETE", "/items/7", "200 ok", {}, {}, "", false, 60s},
        {"HEAD", "/head", "200 -", {}, {}, "", false, 60s},
        {"GET", "/things", "201 made", {}, {}, "", false, 60s},
        {"GET", "/empty", "204 -", {}, {}, "", false, 60s},
        {"GET", "/old", "200 arrived", {{"Authorization", "secret"}}, {}, "/new", false, 60s},
        {"GET", "/payload.pkg", "200 " + payload, {}, {}, "", true, 60s},
        {"GET", "/at-limit", "200 " + kAtLimit, {}, {}, "", false, 60s},
        {"GET", "/trickle", "200 trickling", {}, {}, "", true, 2s},  // no time-out while it flows
        {"GET", "/trickle", "Timeout was reached", {}, {}, "", false, 2s},
        {"GET", "/silent", "Timeout was reached", {}, {}, "", false, 1s},
        {"GET", "/over-limit", "exceeds the limit of 8388608 bytes", {}, {}, "", false, 60s},
        {"GET", "/dropped", "(no headers, no data): Empty reply", {}, {}, "", false, 60s},
        {"GET", "/partial", "Transferred a partial file", {}, {}, "", false, 60s},
        {"GET", "/partial", "Transferred a partial file", {}, {}, "", true, 60s}};
    auto run = [&](const Row& row) {
        const auto& [method, path, outcome, headers, body, lands, download, timeout] = row;
        SCOPED_TRACE(method + " " + path + (download ? " (download)" : ""));
        const platform::HttpRequest request{method, url(path), headers, body, timeout};
        auto data = download ? platform::DataTaskResult{} : session_.dataTaskAndWait(request);
        if (download) {
            const auto file = session_.downloadTaskAndWait(request, temp.path());
            EXPECT_EQ(file.location ? qvtest::modeOf(*file.location) : 0600u, 0600u);
            data = {file.location ? std::optional(qvtest::readFile(*file.location)) : std::nullopt,
                    file.response, file.error};
        }
        const auto status = data.response ? std::to_string(data.response->statusCode) + " " : "";
        const auto got = data.error.value_or(status + data.body.value_or("-"));
        EXPECT_TRUE(data.error ? got.find(outcome) != got.npos : got == outcome)
            << got.substr(0, 200);
        HeaderList expected{{"Host", host()}};
        expected.insert(expected.end(), headers.begin(), headers.end());
        if (body || method == "POST")
            expected.emplace_back("Content-Length", std::to_string(body.value_or("").size()));
        const auto wire = sent()[method + " " + (lands.empty() ? path : lands) + " HTTP/1.1"];
        EXPECT_EQ(std::pair(wire.headers, wire.body == body.value_or("")),
                  std::pair(expected, true));
    };
    {
        std::vector<std::future<void>> runs;  // all at once: the slowest row sets the duration
        for (const auto& row : rows)
            runs.push_back(std::async(std::launch::async, run, std::cref(row)));
    }
    // Only the two finished downloads are left; a download into no folder fails.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path()), {}), 2);
    std::this_thread::sleep_for(200ms);  // idle: the network thread sleeps until a task wakes it
    const auto none = session_.downloadTaskAndWait(get("/x"), temp / "none");
    EXPECT_NE(none.error.value_or("").find((temp / "none").string()), std::string::npos);
    // A download that keeps flowing still ends after its limit in all.
    auto slow = get("/trickle");
    slow.downloadTimeout = 1s;
    const auto cut = session_.downloadTaskAndWait(slow, temp.path());
    EXPECT_NE(cut.error.value_or("").find("Timeout was reached"), std::string::npos);
    // Nor does any request of a session whose extra CA file cannot be read (the peer's
    // verification against the system store and a readable file: HostileAnswerTls).
    const auto unreadable = HttpSession((temp / "absent.pem").string()).dataTaskAndWait(get("/x"));
    EXPECT_NE(unreadable.error.value_or("").find("absent.pem cannot be read"), std::string::npos);
    // Only the last response's headers count; names keep their case, values lose folds and blanks.
    EXPECT_EQ(session_.dataTaskAndWait(get("/old")).response->headers,
              (HeaderList{{"X-Final", "yes"}, {"Content-Length", "7"}, {"Connection", "close"}}));
    const auto made = *session_.dataTaskAndWait(get("/things")).response;
    EXPECT_EQ(HeaderList(made.headers.begin(), made.headers.begin() + 3),
              (HeaderList{{"X-Id", "42"}, {"x-za", "yes"}, {"X-Fold", "a b"}}));
    EXPECT_TRUE(!made.header("x-id") && made.headerIgnoringCase("X-ZA") == "yes");
    // To another host name the token does not follow.
    session_.dataTaskAndWait(get("/away", {{"Authorization", "secret"}, {"X-A", "1"}}));
    EXPECT_EQ(sent()["GET /landing HTTP/1.1"].headers,
              (HeaderList{{"Host", elsewhere}, {"X-A", "1"}}));

    // A session closing mid-transfer delivers the cancellation before its destructor returns.
    auto doomed = std::make_unique<HttpSession>();
    std::promise<platform::DataTaskResult> cancelled;
    doomed->dataTask(get("/silent?doomed"), [&](auto result) { cancelled.set_value(result); });
    ASSERT_TRUE(qvtest::eventually([&] { return sent().count("GET /silent?doomed HTTP/1.1"); }));
    doomed.reset();
    auto outcome = cancelled.get_future();
    ASSERT_EQ(outcome.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(outcome.get().error, "cancelled: the HTTP session was shut down");
}

TEST(UrlValidation, AbsoluteUrlsWithSchemeAndHostAndOnlyUrlCharacters) {
    for (const char* url : {"https://admin.quorvel.example",
                            "http://127.0.0.1:8080/a/b?c=d&e=f#frag", "http://[::1]:9000/",
                            "https://h.example/mac?id=A%20B%aA%fF%99", "https://user@h.example/p"})
        EXPECT_TRUE(platform::isValidUrl(url)) << url;
    for (std::string url :
         {"", "not a url", "admin.quorvel.example/computers", "/computers/state", "https://",
          "https:///path", "file:///etc/passwd", " https://h.example"})
        EXPECT_FALSE(platform::isValidUrl(url)) << url;
    for (std::string tail : {"with space", "tab\there", "line\nbreak", "\x7f", "caf\xc3\xa9",
                             "{id}", "a\"b", "100%", "%zz", "%a", "a#b#c", "a|b", "a\\b"})
        EXPECT_FALSE(platform::isValidUrl("https://h.example/" + tail)) << tail;
}

}  // namespace
