#include "platform/http_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <thread>
#include <unordered_set>

#include "platform/curl_global.h"
#include "platform/dispatch.h"
#include "platform/http_transfer.h"
#include "platform/lifetime.h"
#include "platform/mutex.h"
#include "platform/quick_ack.h"
#include "platform/threads.h"
#include "platform/trust_store.h"

namespace platform {

struct HttpSession::Impl {
    explicit Impl(std::optional<std::string> caFile);
    ~Impl();

    void start(std::unique_ptr<Transfer> transfer);
    // Builds the transfer's easy handle; on failure returns the reason.
    std::optional<std::string> configure(Transfer& transfer, const HttpRequest& request);
    void run();
    // How long the network thread may sleep: until libcurl's next timer, or
    // without end while no transfer is in flight.
    int waitMilliseconds(bool idle);
    void finish(std::unique_ptr<Transfer> transfer, CURLcode code);
    void deliverError(std::unique_ptr<Transfer> transfer, std::string error);
    // The transfer is destroyed (its handle cleaned up, its file closed)
    // before its completion is queued. An exception a completion handler lets
    // escape is the callback queue's to report, at its edge, like that of any
    // other work item.
    void post(std::unique_ptr<Transfer> transfer, std::function<void()> completion);

    TrustStore trust;

    SocketRegistry sockets;  // outlives `multi`, whose clean-up closes the last ones
    CURLM* multi = nullptr;
    Mutex mutex;
    std::deque<std::unique_ptr<Transfer>> pending QV_GUARDED_BY(mutex);
    bool stopping QV_GUARDED_BY(mutex) = false;
    std::thread network;

    // Declared last so it is destroyed first: completion handlers still queued
    // (or running) may start tasks, which must find the members above intact.
    SerialQueue callbacks{"platform.http-session.callbacks", "qv-callbacks"};
};

HttpSession::Impl::Impl(std::optional<std::string> caFile) : trust(loadTrustStore(caFile)) {
    ensureCurlGlobalInit();
    multi = curl_multi_init();
    network = startThread(
        "qv-net", [this] { run(); }, ThreadEnd::joined);
}

HttpSession::Impl::~Impl() {
    {
        MutexLock lock(mutex);
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
        MutexLock lock(mutex);
        if (!stopping) {
            pending.push_back(std::move(transfer));
            // Under the lock: once `stopping` is set the handle may be cleaned up.
            curl_multi_wakeup(multi);
            return;
        }
    }
    deliverError(std::move(transfer), "cancelled: the HTTP session was shut down");
}

std::optional<std::string> HttpSession::Impl::configure(Transfer& transfer,
                                                        const HttpRequest& request) {
    if (trust.error)
        return trust.error;
    return transfer.configure(request, trust.bundle, sockets);
}

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
            MutexLock lock(mutex);
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
        MutexLock lock(mutex);
        left.swap(pending);
    }
    for (auto& transfer : left) {
        deliverError(std::move(transfer), "cancelled: the HTTP session was shut down");
    }
}

void HttpSession::Impl::finish(std::unique_ptr<Transfer> t, CURLcode code) {
    if (auto error = t->failure(code)) {
        deliverError(std::move(t), std::move(*error));
        return;
    }
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    t->response.statusCode = status;
    auto completion = t->sink->succeeded(std::move(t->response));
    post(std::move(t), std::move(completion));
}

void HttpSession::Impl::deliverError(std::unique_ptr<Transfer> t, std::string error) {
    auto completion = t->sink->failed(std::move(error));
    post(std::move(t), std::move(completion));
}

void HttpSession::Impl::post(std::unique_ptr<Transfer> transfer, std::function<void()> completion) {
    transfer.reset();
    callbacks.async(std::move(completion));
}

HttpSession& HttpSession::shared() {
    static ProcessLifetime<HttpSession> session(caFileFromEnvironment());
    return *session;
}

HttpSession::HttpSession(std::optional<std::string> caFile)
    : impl_(std::make_unique<Impl>(std::move(caFile))) {}

HttpSession::~HttpSession() = default;

void HttpSession::dataTask(HttpRequest request, DataCompletion completion) {
    auto transfer = std::make_unique<Transfer>(memorySink(std::move(completion)));
    if (auto error = impl_->configure(*transfer, request)) {
        impl_->deliverError(std::move(transfer), std::move(*error));
        return;
    }
    impl_->start(std::move(transfer));
}

void HttpSession::downloadTask(HttpRequest request, std::filesystem::path directory,
                               DownloadCompletion completion) {
    auto sink = std::make_unique<FileSink>(std::move(completion));
    FileSink& file = *sink;
    auto transfer = std::make_unique<Transfer>(std::move(sink));
    auto error = impl_->configure(*transfer, request);
    if (!error)
        error = file.create(directory);
    if (error) {
        impl_->deliverError(std::move(transfer), std::move(*error));
        return;
    }
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

}  // namespace platform
