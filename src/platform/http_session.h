#pragma once
// The shared URL session: one network thread drives every transfer through
// curl_multi; completions are delivered one at a time, in completion order, on
// one serial callback queue. A task started from inside a completion handler
// runs at once and its own completion is delivered after the running handler
// has returned.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The URL checks (isValidUrl, sameOrigin, ...) callers use with their requests.
#include "platform/url.h"

namespace platform {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The request time-out without progress: QV_REQUEST_TIMEOUT_S seconds when
// that is a whole number from 1 to 86400, else 60. Read once.
std::chrono::seconds defaultRequestTimeout();

// A download's limit in all: QV_DOWNLOAD_TIMEOUT_S seconds when that is a
// whole number from 1 to 86400, else 1800. Read once.
std::chrono::seconds defaultDownloadTimeout();

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HeaderList headers;  // sent in this order; nothing else is added but Host/Content-Length
    std::optional<std::string> body;  // absent: no body
    // Time-out without progress: connecting, and any stretch without a byte.
    // A data task also ends after twice this in all, so a server that trickles
    // bytes cannot hold its caller.
    std::chrono::seconds timeout = defaultRequestTimeout();
    // A download's limit in all: it ends after this however it flows.
    std::chrono::seconds downloadTimeout = defaultDownloadTimeout();
};

struct HttpResponse {
    long statusCode = 0;
    HeaderList headers;  // names as the server sent them, in order (last response after redirects)

    // First header whose name equals `name` exactly / ignoring ASCII case.
    std::optional<std::string> header(const std::string& name) const;
    std::optional<std::string> headerIgnoringCase(const std::string& name) const;
};

// Exactly one of `error` and `response` is set. A transport error (DNS,
// connect, TLS, time-out, dropped connection, an oversized body or header, a
// redirect to a scheme not allowed, an option libcurl refused) is a
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
    // Largest body a download accepts; more is a transport error.
    static constexpr std::uint64_t kMaxDownloadBytes = 4ull * 1024u * 1024u * 1024u;

    // The process-wide session, created on first use and never torn down.
    static HttpSession& shared();

    // Extra CA bundle (PEM) trusted besides the system store; read from
    // QV_CA_FILE by shared(). TLS peer and host verification are always on.
    // Redirects (at most 10) never leave TLS: a request to an https URL follows
    // https redirects only.
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

    // Blocking forms for a caller on its own thread (never the callback
    // queue): start the task and wait until its completion has run. The wait
    // ends however the handler ends; an exception it throws is rethrown here.
    void dataTaskAndWait(HttpRequest request,
                         const std::function<void(const DataTaskResult&)>& handler);
    DataTaskResult dataTaskAndWait(HttpRequest request);
    DownloadTaskResult downloadTaskAndWait(HttpRequest request, std::filesystem::path directory);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
