#pragma once
// An HTTP server on 127.0.0.1 and an ephemeral port, for tests: it records
// every request it receives and answers through handlers the test registers.
//
//   qvtest::LoopbackServer server;
//   server.Post("/computers/state", [](const auto& req, auto& res) {
//       res.status = 201;
//       res.body = R"({"ok":true})";
//       res.contentType = "application/json";
//   });
//   ... send to server.url("/computers/state") ...
//   auto requests = server.requests();
//
// Built on RawServer: each connection has a thread, so handlers run several at
// once; unmatched requests get 404. Every response closes its connection, so a
// client that keeps connections open (the shared session) never delays the
// server's shutdown.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/http_session.h"  // platform::HeaderList
#include "support/certificate.h"

namespace qvtest {

struct LoopbackRequest {
    std::string method;
    std::string path;              // as sent (not decoded), without the query
    std::string target;            // as on the request line: path and query
    platform::HeaderList headers;  // in wire order
    std::string body;

    // First header with that name, ignoring ASCII case.
    std::optional<std::string> header(const std::string& name) const;
};

struct LoopbackResponse {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";  // sent only with a non-empty body
    platform::HeaderList headers;            // besides Connection, Content-Length and Content-Type
    // Misbehave: announce the whole body's length, send only this many body
    // bytes, then drop the connection.
    std::optional<std::size_t> dropAfterBytes;
};

using LoopbackHandler = std::function<void(const LoopbackRequest&, LoopbackResponse&)>;

class LoopbackServer {
  public:
    LoopbackServer();  // listening when it returns
    // Serves HTTPS with this certificate (see support/certificate.h) instead.
    explicit LoopbackServer(const SelfSignedCertificate& tls);
    ~LoopbackServer();  // stops and joins the server thread
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // "http://127.0.0.1:<port><path>" ("https" when serving TLS)
    std::string url(const std::string& path = "/") const;

    // `pattern` is a regular expression the whole path must match. Handlers may
    // be added at any time; the newest matching one answers (a GET one also
    // answers HEAD).
    LoopbackServer& on(const std::string& method, const std::string& pattern,
                       LoopbackHandler handler);
    LoopbackServer& Get(const std::string& pattern, LoopbackHandler handler) {
        return on("GET", pattern, std::move(handler));
    }
    LoopbackServer& Post(const std::string& pattern, LoopbackHandler handler) {
        return on("POST", pattern, std::move(handler));
    }

    // Every request received, in order of arrival (recorded before its handler runs).
    std::vector<LoopbackRequest> requests() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qvtest
