#include "platform/http_session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_set>
#include <variant>

#include "platform/dispatch.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace platform {

namespace {

// The read buffer of a file download (libcurl's default is 16 KiB).
constexpr long kDownloadBufferBytes = 256L * 1024L;

void ensureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool hasHeader(const HeaderList& headers, const std::string& name) {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return equalsIgnoringCase(h.first, name); });
}

std::string trimmed(std::string_view text) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return buffer.str();
}

// The trust store handed to libcurl when an extra CA bundle is configured:
// libcurl's CAINFO_BLOB replaces its default CA file, so the system bundle is
// put in front of the extra one to keep the system store trusted.
std::string systemCaBundlePath() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info != nullptr && info->age >= CURLVERSION_SEVENTH && info->cainfo != nullptr &&
        info->cainfo[0] != '\0') {
        return info->cainfo;
    }
    return "/etc/ssl/certs/ca-certificates.crt";
}

// Acknowledges at once what the connection has received. A server that
// writes a response's headers and its body in two small writes without
// TCP_NODELAY (cpp-httplib's default, for one) holds the body back (Nagle)
// until the headers are acknowledged, and on a reused connection, where
// request and answer alternate, the kernel delays that acknowledgement by up
// to 40 ms: such answers took 40 ms over loopback instead of 1. Done when a
// response's headers are complete, so the body follows at once; quick-ACK
// mode is not sticky, hence once per response.
void acknowledgeNow(curl_socket_t fd) {
#ifdef TCP_QUICKACK
    if (fd == CURL_SOCKET_BAD)
        return;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)fd;
#endif
}

// The sockets libcurl opened for one session, so that a transfer can find
// the socket of its connection, fresh or reused. Network thread only (and
// the session's destructor, once that thread has ended).
class SocketRegistry {
  public:
    static curl_socket_t open(void* self, curlsocktype, curl_sockaddr* address) {
        const int fd =
            ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd < 0)
            return CURL_SOCKET_BAD;
        static_cast<SocketRegistry*>(self)->sockets_.insert(fd);
        return fd;
    }
    static int close(void* self, curl_socket_t fd) {
        static_cast<SocketRegistry*>(self)->sockets_.erase(fd);
        return ::close(fd);
    }
    // The socket bound to the local `port`; CURL_SOCKET_BAD when none is.
    curl_socket_t withLocalPort(int port) const {
        for (curl_socket_t fd : sockets_) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
                continue;
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
            const int bound = address.ss_family == AF_INET    ? ntohs(v4->sin_port)
                              : address.ss_family == AF_INET6 ? ntohs(v6->sin6_port)
                                                              : -1;
            if (bound == port)
                return fd;
        }
        return CURL_SOCKET_BAD;
    }

  private:
    std::unordered_set<curl_socket_t> sockets_;
};

}  // namespace

std::optional<std::string> HttpResponse::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

std::optional<std::string> HttpResponse::headerIgnoringCase(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name))
            return value;
    }
    return std::nullopt;
}

// One transfer, owned by the network thread from the moment it is queued.
struct Transfer {
    CURL* easy = nullptr;
    const SocketRegistry* sockets = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD;  // of the connection in use, once known
    curl_slist* headerList = nullptr;
    std::string requestBody;  // CURLOPT_POSTFIELDS points into it; lives as long as the handle
    char errorBuffer[CURL_ERROR_SIZE] = {};

    HttpResponse response;
    // Until a response's blank line libcurl is collecting its status line and
    // headers; true from the start, as the first status line may be the one
    // too long. A redirect hop or 100 Continue starts another response.
    bool readingHeaders = true;

    // Data task.
    std::string body;
    bool bodyTooLarge = false;
    bool receivedBytes = false;

    // Download task.
    int fd = -1;
    std::uint64_t written = 0;
    std::filesystem::path file;
    std::optional<std::string> writeError;

    std::variant<HttpSession::DataCompletion, HttpSession::DownloadCompletion> completion;

    bool isDownload() const { return completion.index() == 1; }

    ~Transfer() {
        if (easy != nullptr)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headerList);
        if (fd >= 0)
            ::close(fd);
    }

    // A new status line starts another response (a redirect hop, 100 Continue,
    // a proxy's CONNECT answer): only the last response's headers and body count.
    void startNewResponse() {
        readingHeaders = true;
        response.headers.clear();
        body.clear();
        receivedBytes = false;
        written = 0;
        if (fd >= 0) {
            if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0) {
                writeError =
                    std::string("cannot rewind the download file: ") + std::strerror(errno);
            }
        }
    }

    void headerLine(std::string_view line) {
        if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
            startNewResponse();
            return;
        }
        if (line == "\r\n" || line == "\n" || line.empty()) {
            readingHeaders = false;
            acknowledgeNow(socket);
            return;
        }
        if ((line.front() == ' ' || line.front() == '\t') && !response.headers.empty()) {
            // Obsolete line folding: continues the previous header's value.
            auto& value = response.headers.back().second;
            auto more = trimmed(line);
            if (!more.empty())
                value += value.empty() ? more : " " + more;
            return;
        }
        auto colon = line.find(':');
        if (colon == std::string_view::npos)
            return;
        response.headers.emplace_back(trimmed(line.substr(0, colon)),
                                      trimmed(line.substr(colon + 1)));
    }

    // Returns false to abort the transfer.
    bool bodyBytes(const char* data, std::size_t size) {
        if (size == 0)
            return true;
        if (isDownload()) {
            if (size > HttpSession::kMaxDownloadBytes - written) {
                bodyTooLarge = true;
                return false;
            }
            written += size;
            while (size > 0) {
                const ssize_t done = ::write(fd, data, size);
                if (done < 0) {
                    if (errno == EINTR)
                        continue;
                    writeError =
                        std::string("cannot write the download file: ") + std::strerror(errno);
                    return false;
                }
                data += done;
                size -= static_cast<std::size_t>(done);
            }
            receivedBytes = true;
            return true;
        }
        if (size > HttpSession::kMaxDataBodyBytes - body.size()) {
            bodyTooLarge = true;
            return false;
        }
        body.append(data, size);
        receivedBytes = true;
        return true;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        static_cast<Transfer*>(self)->headerLine(std::string_view(data, size * count));
        return size * count;
    }

    // Each connection the transfer uses (a redirect may change it), before
    // the request goes out on it.
    static int onConnection(void* self, char*, char*, int, int localPort) {
        auto* t = static_cast<Transfer*>(self);
        t->socket = t->sockets->withLocalPort(localPort);
        return CURL_PREREQFUNC_OK;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto n = size * count;
        return static_cast<Transfer*>(self)->bodyBytes(data, n) ? n : 0;
    }
};

namespace {

// libcurl rejects a status or header line beyond its limit (100 KiB) as "out
// of memory" (from 8.6 on as "too large"), without a word more; while a
// response's headers come in, that is what the code means.
bool exceedsHeaderLimit(const Transfer& t, CURLcode code) {
#if LIBCURL_VERSION_NUM >= 0x080600
    if (code == CURLE_TOO_LARGE)
        return t.readingHeaders;
#endif
    return code == CURLE_OUT_OF_MEMORY && t.readingHeaders;
}

}  // namespace

struct HttpSession::Impl {
    explicit Impl(std::optional<std::string> caFile);
    ~Impl();

    void start(std::unique_ptr<Transfer> transfer);
    // Builds the easy handle; on failure returns the reason.
    std::optional<std::string> configure(Transfer& transfer, const HttpRequest& request);
    void run();
    // How long the network thread may sleep: until libcurl's next timer, or
    // without end while no transfer is in flight.
    int waitMilliseconds(bool idle);
    void finish(std::unique_ptr<Transfer> transfer, CURLcode code);
    void deliverError(std::unique_ptr<Transfer> transfer, std::string error);

    // An exception a completion handler lets escape is the callback queue's
    // to report, at its edge, like that of any other work item.
    template <class Completion, class Result>
    void post(Completion completion, Result result) {
        callbacks.async([completion = std::move(completion), result = std::move(result)]() mutable {
            completion(std::move(result));
        });
    }

    std::string caBundle;                // combined system + extra bundle; empty: libcurl's default
    std::optional<std::string> caError;  // the extra bundle could not be read: every task fails

    SocketRegistry sockets;  // outlives `multi`, whose clean-up closes the last ones
    CURLM* multi = nullptr;
    std::mutex mutex;
    std::deque<std::unique_ptr<Transfer>> pending;  // guarded by mutex
    bool stopping = false;                          // guarded by mutex
    std::thread network;

    // Declared last so it is destroyed first: completion handlers still queued
    // (or running) may start tasks, which must find the members above intact.
    SerialQueue callbacks{"platform.http-session.callbacks", "qv-callbacks"};
};

HttpSession::Impl::Impl(std::optional<std::string> caFile) {
    ensureCurlGlobalInit();
    if (caFile && !caFile->empty()) {
        auto extra = readWholeFile(*caFile);
        if (!extra) {
            caError = "the extra CA bundle " + *caFile + " cannot be read: " + std::strerror(errno);
        } else {
            caBundle = readWholeFile(systemCaBundlePath()).value_or(std::string());
            if (!caBundle.empty() && caBundle.back() != '\n')
                caBundle += '\n';
            caBundle += *extra;
            if (!caBundle.empty() && caBundle.back() != '\n')
                caBundle += '\n';
        }
    }
    multi = curl_multi_init();
    network = startThread("qv-net", [this] { run(); }, ThreadEnd::joined);
}

HttpSession::Impl::~Impl() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    curl_multi_wakeup(multi);
    network.join();
    curl_multi_cleanup(multi);
    // `callbacks` is destroyed next: it still runs the cancellations queued by
    // run() and then joins.
}

void HttpSession::Impl::start(std::unique_ptr<Transfer> transfer) {
    {
        std::lock_guard lock(mutex);
        if (!stopping) {
            pending.push_back(std::move(transfer));
            // Under the lock: once `stopping` is set the handle may be cleaned up.
            curl_multi_wakeup(multi);
            return;
        }
    }
    deliverError(std::move(transfer), "cancelled: the HTTP session was shut down");
}

namespace {

// The options of one easy handle, each set through QV_SET_OPTION, which
// checks what libcurl answers: a refused option (a protocol list, TLS
// verification, the CA bundle or a limit libcurl does not take) must fail the
// request rather than let it run without the protection. The first refusal
// is kept by the option's name.
struct EasyOptions {
    CURL* easy;
    const char* refused = nullptr;

    void check(CURLcode code, const char* option) {
        if (code != CURLE_OK && refused == nullptr)
            refused = option;
    }
    std::optional<std::string> error() const {
        if (refused == nullptr)
            return std::nullopt;
        return std::string("libcurl refused ") + refused;
    }
};

// A macro so that each option is written once: the name a refusal reports is
// that of the option set.
#define QV_SET_OPTION(options, option, value) \
    (options).check(curl_easy_setopt((options).easy, option, value), #option)

// Redirects never leave TLS: only a URL that is plainly http may be redirected
// to http; any other (https, or a scheme libcurl would have to guess) follows
// https redirects only.
const char* redirectProtocolsFor(const std::string& url) {
    constexpr std::string_view kPlainHttp = "http://";
    const bool plainHttp =
        url.size() >= kPlainHttp.size() &&
        equalsIgnoringCase(url.substr(0, kPlainHttp.size()), std::string(kPlainHttp));
    return plainHttp ? "http,https" : "https";
}

}  // namespace

std::optional<std::string> HttpSession::Impl::configure(Transfer& t, const HttpRequest& request) {
    if (caError)
        return caError;
    t.easy = curl_easy_init();
    if (t.easy == nullptr)
        return "cannot create a libcurl handle";
    EasyOptions options{t.easy};
    const long timeout = std::max<long>(1, static_cast<long>(request.timeout.count()));

    QV_SET_OPTION(options, CURLOPT_PRIVATE, static_cast<void*>(&t));
    QV_SET_OPTION(options, CURLOPT_ERRORBUFFER, t.errorBuffer);
    QV_SET_OPTION(options, CURLOPT_NOSIGNAL, 1L);
    QV_SET_OPTION(options, CURLOPT_URL, request.url.c_str());
    QV_SET_OPTION(options, CURLOPT_PROTOCOLS_STR, "http,https");
    QV_SET_OPTION(options, CURLOPT_REDIR_PROTOCOLS_STR, redirectProtocolsFor(request.url));
    QV_SET_OPTION(options, CURLOPT_FOLLOWLOCATION, 1L);
    QV_SET_OPTION(options, CURLOPT_MAXREDIRS, 10L);
    // A time-out without progress; the limit in all comes below.
    QV_SET_OPTION(options, CURLOPT_CONNECTTIMEOUT, timeout);
    QV_SET_OPTION(options, CURLOPT_LOW_SPEED_LIMIT, 1L);
    QV_SET_OPTION(options, CURLOPT_LOW_SPEED_TIME, timeout);
    if (t.isDownload()) {
        QV_SET_OPTION(options, CURLOPT_TIMEOUT,
                      std::max<long>(1, static_cast<long>(request.downloadTimeout.count())));
        // Fewer, larger reads: a package streams in a sixteenth of the reads
        // the default buffer costs.
        QV_SET_OPTION(options, CURLOPT_BUFFERSIZE, kDownloadBufferBytes);
    } else {
        QV_SET_OPTION(options, CURLOPT_TIMEOUT, 2 * timeout);
    }
    QV_SET_OPTION(options, CURLOPT_SSL_VERIFYPEER, 1L);
    QV_SET_OPTION(options, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caBundle.empty()) {
        curl_blob blob{caBundle.data(), caBundle.size(),
                       CURL_BLOB_NOCOPY};  // outlives every handle
        QV_SET_OPTION(options, CURLOPT_CAINFO_BLOB, &blob);
    }
    QV_SET_OPTION(options, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    QV_SET_OPTION(options, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    QV_SET_OPTION(options, CURLOPT_HEADERDATA, &t);
    QV_SET_OPTION(options, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    QV_SET_OPTION(options, CURLOPT_WRITEDATA, &t);
    t.sockets = &sockets;
    QV_SET_OPTION(options, CURLOPT_OPENSOCKETFUNCTION, &SocketRegistry::open);
    QV_SET_OPTION(options, CURLOPT_OPENSOCKETDATA, &sockets);
    QV_SET_OPTION(options, CURLOPT_CLOSESOCKETFUNCTION, &SocketRegistry::close);
    QV_SET_OPTION(options, CURLOPT_CLOSESOCKETDATA, &sockets);
    QV_SET_OPTION(options, CURLOPT_PREREQFUNCTION, &Transfer::onConnection);
    QV_SET_OPTION(options, CURLOPT_PREREQDATA, &t);

    const std::string& method = request.method;
    if (request.body) {
        t.requestBody = *request.body;
        QV_SET_OPTION(options, CURLOPT_POSTFIELDSIZE_LARGE,
                      static_cast<curl_off_t>(t.requestBody.size()));
        QV_SET_OPTION(options, CURLOPT_POSTFIELDS, t.requestBody.data());
        if (method != "POST")
            QV_SET_OPTION(options, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "GET") {
        QV_SET_OPTION(options, CURLOPT_HTTPGET, 1L);
    } else if (method == "POST") {
        QV_SET_OPTION(options, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        QV_SET_OPTION(options, CURLOPT_POSTFIELDS, "");
    } else if (method == "HEAD") {
        QV_SET_OPTION(options, CURLOPT_NOBODY, 1L);
    } else {
        QV_SET_OPTION(options, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // Our headers in order; then libcurl's own defaults switched off, so nothing
    // beyond Host and Content-Length is added.
    auto append = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(t.headerList, line.c_str());
        if (next == nullptr)
            return false;
        t.headerList = next;
        return true;
    };
    for (const auto& [name, value] : request.headers) {
        if (name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos) {
            return "invalid request header \"" + name + "\"";
        }
        // libcurl reads "Name:" as "remove Name"; "Name;" sends it with an empty value.
        if (!append(value.empty() ? name + ";" : name + ": " + value))
            return "out of memory";
    }
    if (!hasHeader(request.headers, "Accept") && !append("Accept:"))
        return "out of memory";
    if (!hasHeader(request.headers, "Expect") && !append("Expect:"))
        return "out of memory";
    if (request.body || method == "POST") {
        // libcurl would add "Content-Type: application/x-www-form-urlencoded".
        if (!hasHeader(request.headers, "Content-Type") && !append("Content-Type:"))
            return "out of memory";
    }
    QV_SET_OPTION(options, CURLOPT_HTTPHEADER, t.headerList);
    return options.error();
}

#undef QV_SET_OPTION

int HttpSession::Impl::waitMilliseconds(bool idle) {
    constexpr int kForever = std::numeric_limits<int>::max();
    long timer = -1;
    if (idle || curl_multi_timeout(multi, &timer) != CURLM_OK || timer < 0)
        return kForever;
    return static_cast<int>(std::min<long>(timer, kForever));
}

void HttpSession::Impl::run() {
    std::unordered_set<Transfer*> active;
    for (;;) {
        std::deque<std::unique_ptr<Transfer>> incoming;
        {
            std::lock_guard lock(mutex);
            if (stopping)
                break;
            incoming.swap(pending);
        }
        for (auto& transfer : incoming) {
            if (curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
                deliverError(std::move(transfer), "cannot start the transfer");
                continue;
            }
            active.insert(transfer.release());
        }

        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            char* priv = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &priv);
            auto* raw = reinterpret_cast<Transfer*>(priv);
            CURLcode code = message->data.result;  // `message` is invalid after remove_handle
            curl_multi_remove_handle(multi, raw->easy);
            active.erase(raw);
            finish(std::unique_ptr<Transfer>(raw), code);
        }

        // Sleeps until a socket is ready, libcurl's next timer (connect,
        // progress and total time-outs) falls due, or curl_multi_wakeup() is
        // called; with nothing in flight there is no timer, so only start()
        // or shutting down wakes the thread. A wake-up sent while the thread
        // is elsewhere in this loop stays pending in libcurl and ends the
        // next wait at once, so none is lost.
        curl_multi_poll(multi, nullptr, 0, waitMilliseconds(active.empty()), nullptr);
    }

    // Shutting down: cancel what is still in flight or waiting.
    for (Transfer* raw : active) {
        curl_multi_remove_handle(multi, raw->easy);
        deliverError(std::unique_ptr<Transfer>(raw), "cancelled: the HTTP session was shut down");
    }
    std::deque<std::unique_ptr<Transfer>> left;
    {
        std::lock_guard lock(mutex);
        left.swap(pending);
    }
    for (auto& transfer : left) {
        deliverError(std::move(transfer), "cancelled: the HTTP session was shut down");
    }
}

void HttpSession::Impl::finish(std::unique_ptr<Transfer> t, CURLcode code) {
    if (code != CURLE_OK || t->writeError) {
        std::string error;
        if (t->bodyTooLarge && t->isDownload()) {
            error = "the download exceeds the limit of " +
                    std::to_string(HttpSession::kMaxDownloadBytes) + " bytes (4 GiB)";
        } else if (t->bodyTooLarge) {
            error = "the response body exceeds the limit of " +
                    std::to_string(HttpSession::kMaxDataBodyBytes) + " bytes (8 MiB)";
        } else if (t->writeError) {
            error = *t->writeError;
        } else if (exceedsHeaderLimit(*t, code)) {
            error = "the response headers exceed the limit";
        } else {
            error = curl_easy_strerror(code);
            std::string detail = trimmed(t->errorBuffer);
            if (!detail.empty() && detail != error)
                error += ": " + detail;
        }
        deliverError(std::move(t), std::move(error));
        return;
    }

    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    t->response.statusCode = status;

    if (t->isDownload()) {
        DownloadTaskResult result;
        ::close(t->fd);
        t->fd = -1;
        result.location = t->file;
        result.response = std::move(t->response);
        auto completion = std::get<DownloadCompletion>(std::move(t->completion));
        t.reset();
        post(std::move(completion), std::move(result));
        return;
    }

    DataTaskResult result;
    if (t->receivedBytes)
        result.body = std::move(t->body);
    result.response = std::move(t->response);
    auto completion = std::get<DataCompletion>(std::move(t->completion));
    t.reset();
    post(std::move(completion), std::move(result));
}

void HttpSession::Impl::deliverError(std::unique_ptr<Transfer> t, std::string error) {
    if (t->isDownload()) {
        if (t->fd >= 0) {
            ::close(t->fd);
            t->fd = -1;
        }
        if (!t->file.empty())
            ::unlink(t->file.c_str());
        DownloadTaskResult result;
        result.error = std::move(error);
        auto completion = std::get<DownloadCompletion>(std::move(t->completion));
        t.reset();
        post(std::move(completion), std::move(result));
        return;
    }
    DataTaskResult result;
    result.error = std::move(error);
    auto completion = std::get<DataCompletion>(std::move(t->completion));
    t.reset();
    post(std::move(completion), std::move(result));
}

HttpSession& HttpSession::shared() {
    static HttpSession* session = [] {
        const char* ca = std::getenv("QV_CA_FILE");
        std::optional<std::string> caFile;
        if (ca != nullptr && ca[0] != '\0')
            caFile = ca;
        return new HttpSession(
            std::move(caFile));  // never destroyed: in use until the process ends
    }();
    return *session;
}

HttpSession::HttpSession(std::optional<std::string> caFile)
    : impl_(std::make_unique<Impl>(std::move(caFile))) {}

HttpSession::~HttpSession() = default;

void HttpSession::dataTask(HttpRequest request, DataCompletion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->completion = std::move(completion);
    if (auto error = impl_->configure(*transfer, request)) {
        impl_->deliverError(std::move(transfer), std::move(*error));
        return;
    }
    impl_->start(std::move(transfer));
}

void HttpSession::downloadTask(HttpRequest request, std::filesystem::path directory,
                               DownloadCompletion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->completion = std::move(completion);
    if (auto error = impl_->configure(*transfer, request)) {
        impl_->deliverError(std::move(transfer), std::move(*error));
        return;
    }
    std::string pattern = (directory / "download-XXXXXX").string();
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        impl_->deliverError(
            std::move(transfer),
            "cannot create a download file in " + directory.string() + ": " + std::strerror(errno));
        return;
    }
    transfer->fd = fd;
    transfer->file = pattern;
    impl_->start(std::move(transfer));
}

void HttpSession::dataTaskAndWait(HttpRequest request,
                                  const std::function<void(const DataTaskResult&)>& handler) {
    DispatchGroup group;
    std::exception_ptr failure;
    group.enter();
    dataTask(std::move(request), [&](DataTaskResult result) {
        DispatchGroup::ScopedLeave leave(group);
        try {
            handler(result);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    group.wait();
    if (failure)
        std::rethrow_exception(failure);
}

DataTaskResult HttpSession::dataTaskAndWait(HttpRequest request) {
    DataTaskResult out;
    dataTaskAndWait(std::move(request), [&](const DataTaskResult& result) { out = result; });
    return out;
}

DownloadTaskResult HttpSession::downloadTaskAndWait(HttpRequest request,
                                                    std::filesystem::path directory) {
    DownloadTaskResult out;
    DispatchGroup group;
    group.enter();
    downloadTask(std::move(request), std::move(directory), [&](DownloadTaskResult result) {
        DispatchGroup::ScopedLeave leave(group);
        out = std::move(result);
    });
    group.wait();
    return out;
}

namespace {

// The environment variable `name` as a whole number of seconds from 1 to a
// day, else `fallback`.
std::chrono::seconds secondsFromEnvironment(const char* name, std::chrono::seconds fallback) {
    const char* text = std::getenv(name);
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        const long seconds = std::strtol(text, &end, 10);
        if (errno == 0 && *end == '\0' && seconds > 0 && seconds <= 86400)
            return std::chrono::seconds(seconds);
    }
    return fallback;
}

}  // namespace

std::chrono::seconds defaultRequestTimeout() {
    static const auto value =
        secondsFromEnvironment("QV_REQUEST_TIMEOUT_S", std::chrono::seconds(60));
    return value;
}

std::chrono::seconds defaultDownloadTimeout() {
    static const auto value =
        secondsFromEnvironment("QV_DOWNLOAD_TIMEOUT_S", std::chrono::seconds(1800));
    return value;
}

std::string percentEncodePathSegment(const std::string& text) {
    static constexpr std::string_view kKept =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        "-._~!$&'()*+,;=:@";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (kKept.find(c) != std::string_view::npos) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

namespace {

// "scheme://host:port" with the scheme's default port filled in, or absent.
std::optional<std::string> originOf(const std::string& url) {
    ensureCurlGlobalInit();
    CURLU* handle = curl_url();
    if (handle == nullptr)
        return std::nullopt;
    std::optional<std::string> result;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string lowerHost = host;
        std::transform(lowerHost.begin(), lowerHost.end(), lowerHost.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        result = std::string(scheme) + "://" + lowerHost + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(handle);
    return result;
}

}  // namespace

bool sameOrigin(const std::string& a, const std::string& b) {
    const auto first = originOf(a);
    return first && first == originOf(b);
}

bool isValidUrl(const std::string& url) {
    // Only characters a URL can hold (RFC 3986): no spaces, controls, non-ASCII,
    // or characters such as "<>\"{}|\\^`"; "%" must start an escape.
    static constexpr std::string_view kAllowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        "-._~:/?#[]@!$&'()*+,;=%";
    auto isHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    int hashes = 0;
    for (std::size_t i = 0; i < url.size(); ++i) {
        char c = url[i];
        if (kAllowed.find(c) == std::string_view::npos)
            return false;
        if (c == '%' && (i + 2 >= url.size() || !isHex(url[i + 1]) || !isHex(url[i + 2]))) {
            return false;
        }
        if (c == '#' && ++hashes > 1)
            return false;
    }

    // libcurl reads "https:///path" as host "path"; the authority is empty there.
    auto authority = url.find("://");
    if (authority != std::string::npos && url.compare(authority + 3, 1, "/") == 0)
        return false;

    ensureCurlGlobalInit();
    CURLU* handle = curl_url();
    if (handle == nullptr)
        return false;
    bool valid = false;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        if (curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            valid = scheme != nullptr && scheme[0] != '\0' && host != nullptr && host[0] != '\0';
        }
        curl_free(scheme);
        curl_free(host);
    }
    curl_url_cleanup(handle);
    return valid;
}

}  // namespace platform
