#pragma once
// The shared URL session: one network thread drives every transfer through
// curl_multi; completions are delivered one at a time, in completion order, on
// one serial callback queue. A task started from inside a completion handler
// runs at once and its own completion is delivered after the running handler
// has returned.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HeaderList headers;  // sent in this order; nothing else is added but Host/Content-Length
    std::optional<std::string> body;  // absent: no body
    // Time-out without progress: connecting, and any stretch without a byte.
    std::chrono::seconds timeout{60};
};

struct HttpResponse {
    long statusCode = 0;
    HeaderList headers;  // names as the server sent them, in order (last response after redirects)

    // First header whose name equals `name` exactly / ignoring ASCII case.
    std::optional<std::string> header(const std::string& name) const;
    std::optional<std::string> headerIgnoringCase(const std::string& name) const;
};

// Exactly one of `error` and `response` is set. A transport error (DNS,
// connect, TLS, time-out, dropped connection, an oversized body) is a
// human-readable description.
struct DataTaskResult {
    std::optional<std::string> body;  // present when the server sent at least one byte
    std::optional<HttpResponse> response;
    std::optional<std::string> error;
};

struct DownloadTaskResult {
    std::optional<std::filesystem::path> location;  // the temporary file holding the body
    std::optional<HttpResponse> response;
    std::optional<std::string> error;
};

class HttpSession {
  public:
    using DataCompletion = std::function<void(DataTaskResult)>;
    using DownloadCompletion = std::function<void(DownloadTaskResult)>;

    // Largest body a data task accepts; more is a transport error.
    static constexpr std::size_t kMaxDataBodyBytes = 8u * 1024u * 1024u;

    // The process-wide session, created on first use and never torn down.
    static HttpSession& shared();

    // Extra CA bundle (PEM) trusted besides the system store; read from
    // QV_CA_FILE by shared(). TLS peer and host verification are always on.
    explicit HttpSession(std::optional<std::string> caFile = std::nullopt);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Starts the transfer and returns at once.
    void dataTask(HttpRequest request, DataCompletion completion);

    // The body is streamed into a new file (mode 0600) in `directory`, which the
    // completion handler owns afterwards; on a transport error it is removed.
    void downloadTask(HttpRequest request, std::filesystem::path directory,
                      DownloadCompletion completion);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// True when `url` parses as an absolute URL with a scheme and a host.
bool isValidUrl(const std::string& url);

}  // namespace platform
