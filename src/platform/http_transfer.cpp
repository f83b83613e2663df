#include "platform/http_transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/text.h"
#include "platform/url.h"

namespace platform {

namespace {

// The read buffer of a file download (libcurl's default is 16 KiB).
constexpr long kDownloadBufferBytes = 256L * 1024L;

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

class MemorySink : public BodySink {
  public:
    explicit MemorySink(HttpSession::DataCompletion completion)
        : completion_(std::move(completion)) {}

    bool isFile() const override { return false; }
    bool write(const char* data, std::size_t size) override {
        if (size > HttpSession::kMaxDataBodyBytes - body_.size()) {
            tooLarge_ = true;
            return false;
        }
        body_.append(data, size);
        receivedBytes_ = true;
        return true;
    }
    void rewind() override {
        body_.clear();
        receivedBytes_ = false;
    }
    std::optional<std::string> failure() const override {
        if (!tooLarge_)
            return std::nullopt;
        return "the response body exceeds the limit of " +
               std::to_string(HttpSession::kMaxDataBodyBytes) + " bytes (8 MiB)";
    }
    std::function<void()> succeeded(HttpResponse response) override {
        DataTaskResult result;
        if (receivedBytes_)
            result.body = std::move(body_);
        result.response = std::move(response);
        return bind(std::move(result));
    }
    std::function<void()> failed(std::string error) override {
        DataTaskResult result;
        result.error = std::move(error);
        return bind(std::move(result));
    }

  private:
    std::function<void()> bind(DataTaskResult result) {
        return [completion = std::move(completion_), result = std::move(result)]() mutable {
            completion(std::move(result));
        };
    }

    HttpSession::DataCompletion completion_;
    std::string body_;
    bool tooLarge_ = false;
    bool receivedBytes_ = false;  // the server sent at least one byte of this response's body
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

std::unique_ptr<BodySink> memorySink(HttpSession::DataCompletion completion) {
    return std::make_unique<MemorySink>(std::move(completion));
}

FileSink::~FileSink() {
    closeFile();
}

void FileSink::closeFile() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::optional<std::string> FileSink::create(const std::filesystem::path& directory) {
    std::string pattern = (directory / "download-XXXXXX").string();
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);  // mode 0600
    if (fd_ < 0) {
        return "cannot create a download file in " + directory.string() + ": " +
               std::strerror(errno);
    }
    file_ = pattern;
    return std::nullopt;
}

bool FileSink::write(const char* data, std::size_t size) {
    if (size > HttpSession::kMaxDownloadBytes - written_) {
        tooLarge_ = true;
        return false;
    }
    written_ += size;
    while (size > 0) {
        const ssize_t done = ::write(fd_, data, size);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            writeError_ = std::string("cannot write the download file: ") + std::strerror(errno);
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

void FileSink::rewind() {
    written_ = 0;
    if (fd_ >= 0 && (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) < 0))
        writeError_ = std::string("cannot rewind the download file: ") + std::strerror(errno);
}

std::optional<std::string> FileSink::failure() const {
    if (tooLarge_) {
        return "the download exceeds the limit of " +
               std::to_string(HttpSession::kMaxDownloadBytes) + " bytes (4 GiB)";
    }
    return writeError_;
}

std::function<void()> FileSink::succeeded(HttpResponse response) {
    closeFile();
    DownloadTaskResult result;
    result.location = file_;
    result.response = std::move(response);
    return [completion = std::move(completion_), result = std::move(result)]() mutable {
        completion(std::move(result));
    };
}

std::function<void()> FileSink::failed(std::string error) {
    closeFile();
    if (!file_.empty())
        ::unlink(file_.c_str());
    DownloadTaskResult result;
    result.error = std::move(error);
    return [completion = std::move(completion_), result = std::move(result)]() mutable {
        completion(std::move(result));
    };
}

Transfer::~Transfer() {
    if (easy != nullptr)
        curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
}

void Transfer::headerLine(std::string_view line) {
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
        // A new status line starts another response (a redirect hop, 100
        // Continue, a proxy's CONNECT answer): only the last response's
        // headers and body count.
        readingHeaders = true;
        response.headers.clear();
        sink->rewind();
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
    response.headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
}

std::size_t Transfer::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    static_cast<Transfer*>(self)->headerLine(std::string_view(data, size * count));
    return size * count;
}

// Each connection the transfer uses (a redirect may change it), before the
// request goes out on it.
int Transfer::onConnection(void* self, char*, char*, int, int localPort) {
    auto* t = static_cast<Transfer*>(self);
    t->socket = t->sockets->withLocalPort(localPort);
    return CURL_PREREQFUNC_OK;
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto n = size * count;
    return n == 0 || static_cast<Transfer*>(self)->sink->write(data, n) ? n : 0;
}

std::optional<std::string> Transfer::failure(CURLcode code) const {
    auto kept = sink->failure();
    if (kept || code == CURLE_OK)
        return kept;
    // libcurl rejects a status or header line beyond its limit (100 KiB) as
    // "out of memory" (from 8.6 on as "too large"), without a word more; while
    // a response's headers come in, that is what the code means.
    bool headerLimit = code == CURLE_OUT_OF_MEMORY;
#if LIBCURL_VERSION_NUM >= 0x080600
    headerLimit = headerLimit || code == CURLE_TOO_LARGE;
#endif
    if (headerLimit && readingHeaders)
        return "the response headers exceed the limit";
    std::string error = curl_easy_strerror(code);
    std::string detail = trimmed(errorBuffer);
    if (!detail.empty() && detail != error)
        error += ": " + detail;
    return error;
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
    return isPlainHttpUrl(url) ? "http,https" : "https";
}

}  // namespace

std::optional<std::string> Transfer::configure(const HttpRequest& request, std::string& caBundle,
                                               SocketRegistry& registry) {
    easy = curl_easy_init();
    if (easy == nullptr)
        return "cannot create a libcurl handle";
    EasyOptions options{easy};
    const long timeout = std::max<long>(1, static_cast<long>(request.timeout.count()));

    QV_SET_OPTION(options, CURLOPT_PRIVATE, static_cast<void*>(this));
    QV_SET_OPTION(options, CURLOPT_ERRORBUFFER, errorBuffer);
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
    if (sink->isFile()) {
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
    QV_SET_OPTION(options, CURLOPT_HEADERDATA, this);
    QV_SET_OPTION(options, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    QV_SET_OPTION(options, CURLOPT_WRITEDATA, this);
    sockets = &registry;
    QV_SET_OPTION(options, CURLOPT_OPENSOCKETFUNCTION, &SocketRegistry::open);
    QV_SET_OPTION(options, CURLOPT_OPENSOCKETDATA, &registry);
    QV_SET_OPTION(options, CURLOPT_CLOSESOCKETFUNCTION, &SocketRegistry::close);
    QV_SET_OPTION(options, CURLOPT_CLOSESOCKETDATA, &registry);
    QV_SET_OPTION(options, CURLOPT_PREREQFUNCTION, &Transfer::onConnection);
    QV_SET_OPTION(options, CURLOPT_PREREQDATA, this);

    const std::string& method = request.method;
    if (request.body) {
        requestBody = *request.body;
        QV_SET_OPTION(options, CURLOPT_POSTFIELDSIZE_LARGE,
                      static_cast<curl_off_t>(requestBody.size()));
        QV_SET_OPTION(options, CURLOPT_POSTFIELDS, requestBody.data());
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
        curl_slist* next = curl_slist_append(headerList, line.c_str());
        if (next == nullptr)
            return false;
        headerList = next;
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
    QV_SET_OPTION(options, CURLOPT_HTTPHEADER, headerList);
    return options.error();
}

#undef QV_SET_OPTION

}  // namespace platform
