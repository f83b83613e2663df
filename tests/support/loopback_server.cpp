#include "support/loopback_server.h"

#include <httplib.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>

namespace qvtest {

namespace {

// httplib files the peer's and its own address among the request headers.
bool isHttplibPseudoHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

// httplib listens with a backlog of 5: a burst of connections overflows it and
// the kernel drops SYNs, which the client retries only after a second.
template <typename Base>
struct Server : Base {
    using Base::Base;
    void widenBacklog() { ::listen(this->svr_sock_, SOMAXCONN); }
};

// A server bound to an ephemeral port on 127.0.0.1, not yet listening.
template <typename Base, typename... Arguments>
std::unique_ptr<httplib::Server> boundServer(int& port, Arguments... arguments) {
    auto server = std::make_unique<Server<Base>>(arguments...);
    port = server->is_valid() ? server->bind_to_any_port("127.0.0.1") : -1;
    if (port <= 0)
        throw std::runtime_error("LoopbackServer: cannot bind 127.0.0.1");
    server->widenBacklog();
    return server;
}

struct Route {
    std::string method;
    std::regex pattern;
    LoopbackHandler handler;
};

}  // namespace

std::optional<std::string> LoopbackRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (::strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    }
    return std::nullopt;
}

struct LoopbackServer::Impl {
    std::unique_ptr<httplib::Server> server;
    std::string scheme;
    int port = 0;
    std::thread thread;

    mutable std::mutex mutex;
    std::vector<LoopbackRequest> requests;  // guarded by mutex
    std::vector<Route> routes;              // guarded by mutex

    void serve(const httplib::Request& in, httplib::Response& out) {
        LoopbackRequest request{in.method, in.path, in.target, {}, in.body};
        for (const auto& [name, value] : in.headers) {
            if (!isHttplibPseudoHeader(name))
                request.headers.emplace_back(name, value);
        }

        LoopbackHandler handler;
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
            // The newest matching route; httplib routes HEAD to the GET handlers.
            const auto route = std::find_if(routes.rbegin(), routes.rend(), [&](const Route& r) {
                return (r.method == in.method || (in.method == "HEAD" && r.method == "GET")) &&
                       std::regex_match(in.path, r.pattern);
            });
            if (route != routes.rend())
                handler = route->handler;
        }

        LoopbackResponse response;
        if (handler)
            handler(request, response);
        else
            response.status = 404;

        out.status = response.status;
        for (const auto& [name, value] : response.headers)
            out.headers.emplace(name, value);
        if (response.dropAfterBytes) {
            auto body = std::make_shared<std::string>(std::move(response.body));
            auto limit = *response.dropAfterBytes;
            out.set_content_provider(
                body->size(), response.contentType,
                [body, limit](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                    if (offset >= limit)
                        return false;  // httplib then closes the connection
                    sink.write(body->data() + offset, std::min(length, limit - offset));
                    return true;
                });
        } else if (!response.body.empty()) {
            out.set_content(response.body, response.contentType);
        }
    }

    void start(std::unique_ptr<httplib::Server> bound, std::string urlScheme) {
        server = std::move(bound);
        scheme = std::move(urlScheme);
        // Enough workers for tests that hold many requests open at once.
        server->new_task_queue = [] { return new httplib::ThreadPool(32); };
        // One request per connection ("Connection: close"): a client that keeps an
        // idle connection open (the never-destroyed shared session does) would hold
        // a worker, and so stop(), until the keep-alive time-out.
        server->set_keep_alive_max_count(1);
        server->set_keep_alive_timeout(1);
        auto handler = [this](const httplib::Request& in, httplib::Response& out) {
            serve(in, out);
        };
        server->Get(".*", handler);
        server->Post(".*", handler);
        server->Put(".*", handler);
        server->Patch(".*", handler);
        server->Delete(".*", handler);
        server->Options(".*", handler);
        thread = std::thread([this] { server->listen_after_bind(); });
        // stop() before listen_after_bind() is running would be lost and the join would hang.
        while (!server->is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // httplib fills a table of request methods while parsing its first request.
        // The library is not built with the thread sanitizer, which so cannot see
        // that other workers read the table only after it was filled; one request
        // answered before the server is handed out orders every later one after it.
        if (scheme == "http") {
            httplib::Client("127.0.0.1", port).Options("/");
            std::lock_guard lock(mutex);
            requests.clear();
        }
    }
};

LoopbackServer::LoopbackServer() : impl_(std::make_unique<Impl>()) {
    impl_->start(boundServer<httplib::Server>(impl_->port), "http");
}

LoopbackServer::LoopbackServer(const SelfSignedCertificate& tls) : impl_(std::make_unique<Impl>()) {
    impl_->start(boundServer<httplib::SSLServer>(impl_->port, tls.certificate.c_str(),
                                                 tls.key.c_str(), nullptr, nullptr),
                 "https");
}

LoopbackServer::~LoopbackServer() {
    impl_->server->stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
}

std::string LoopbackServer::url(const std::string& path) const {
    return impl_->scheme + "://127.0.0.1:" + std::to_string(impl_->port) + path;
}

LoopbackServer& LoopbackServer::on(const std::string& method, const std::string& pattern,
                                   LoopbackHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->routes.push_back(Route{method, std::regex(pattern), std::move(handler)});
    return *this;
}

std::vector<LoopbackRequest> LoopbackServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

}  // namespace qvtest
