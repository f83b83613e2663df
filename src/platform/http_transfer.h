#pragma once
// One transfer of the URL session: its libcurl handle, the response it reads
// and the sink its body goes to. Owned by the network thread from the moment
// it is queued.

#include <curl/curl.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http_session.h"
#include "platform/quick_ack.h"

namespace platform {

// Where a transfer's body goes (memory for a data task, a file for a
// download) and the completion its result is handed to.
class BodySink {
  public:
    virtual ~BodySink() = default;
    // A file download has a limit in all and reads in larger pieces.
    virtual bool isFile() const = 0;
    // Takes the next bytes of the body; false aborts the transfer.
    virtual bool write(const char* data, std::size_t size) = 0;
    // Drops the body so far: another response starts.
    virtual void rewind() = 0;
    // Why the body could not be kept, once that has happened.
    virtual std::optional<std::string> failure() const = 0;
    // The completion bound to its result, ready to be posted; the sink is
    // spent afterwards. A failed download's file is removed.
    virtual std::function<void()> succeeded(HttpResponse response) = 0;
    virtual std::function<void()> failed(std::string error) = 0;
};

// A data task's body, in memory up to HttpSession::kMaxDataBodyBytes.
std::unique_ptr<BodySink> memorySink(HttpSession::DataCompletion completion);

// A download's body, in a file up to HttpSession::kMaxDownloadBytes.
class FileSink : public BodySink {
  public:
    explicit FileSink(HttpSession::DownloadCompletion completion)
        : completion_(std::move(completion)) {}
    ~FileSink() override;
    // Creates the file (mode 0600) in `directory`; on failure returns the reason.
    std::optional<std::string> create(const std::filesystem::path& directory);

    bool isFile() const override { return true; }
    bool write(const char* data, std::size_t size) override;
    void rewind() override;
    std::optional<std::string> failure() const override;
    std::function<void()> succeeded(HttpResponse response) override;
    std::function<void()> failed(std::string error) override;

  private:
    void closeFile();

    HttpSession::DownloadCompletion completion_;
    int fd_ = -1;
    std::uint64_t written_ = 0;
    std::filesystem::path file_;
    bool tooLarge_ = false;
    std::optional<std::string> writeError_;
};

struct Transfer {
    explicit Transfer(std::unique_ptr<BodySink> bodySink) : sink(std::move(bodySink)) {}
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Builds the easy handle for `request`, trusting `caBundle` when it is not
    // empty (libcurl reads it in place: it must outlive the handle) and opening
    // its sockets through `registry`; on failure returns the reason.
    std::optional<std::string> configure(const HttpRequest& request, std::string& caBundle,
                                         SocketRegistry& registry);
    // Why the transfer libcurl ended with `code` failed; nothing when it did not.
    std::optional<std::string> failure(CURLcode code) const;

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
    std::unique_ptr<BodySink> sink;

  private:
    void headerLine(std::string_view line);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static int onConnection(void* self, char*, char*, int, int localPort);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
};

}  // namespace platform
