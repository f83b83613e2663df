#include "support/loopback_server.h"

#include <openssl/ssl.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/raw_server.h"

namespace qvtest {

namespace {

struct Route {
    std::string method;
    std::regex pattern;
    LoopbackHandler handler;
};

struct SslDeleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// A server context with this certificate; none for plain HTTP.
std::unique_ptr<SSL_CTX, SslDeleter> tlsContext(const SelfSignedCertificate* files) {
    if (files == nullptr)
        return nullptr;
    std::unique_ptr<SSL_CTX, SslDeleter> context(SSL_CTX_new(TLS_server_method()));
    if (SSL_CTX_use_certificate_file(context.get(), files->certificate.c_str(), SSL_FILETYPE_PEM) !=
            1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), files->key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("LoopbackServer: unusable certificate");
    return context;
}

}  // namespace

std::optional<std::string> LoopbackRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (::strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    }
    return std::nullopt;
}

struct LoopbackServer::Impl {
    explicit Impl(const SelfSignedCertificate* files) : tls(tlsContext(files)) {}

    // Ready before the server's first thread starts, and never changed.
    const std::unique_ptr<SSL_CTX, SslDeleter> tls;
    mutable std::mutex mutex;
    std::vector<LoopbackRequest> requests;                 // guarded by mutex
    std::vector<Route> routes;                             // guarded by mutex
    RawServer server{[this](int fd) { connection(fd); }};  // last: stopped first

    // One request per connection, answered with "Connection: close".
    void connection(int fd) {
        std::unique_ptr<SSL, SslDeleter> ssl;
        if (tls) {
            ssl.reset(SSL_new(tls.get()));
            SSL_set_fd(ssl.get(), fd);
            if (SSL_accept(ssl.get()) <= 0)
                return;  // the client refused the certificate
        }
        const std::string raw = readRequest([&](char* buffer, std::size_t size) -> long {
            return ssl ? SSL_read(ssl.get(), buffer, static_cast<int>(size))
                       : ::recv(fd, buffer, size, 0);
        });
        if (raw.empty())
            return;
        const WireRequest wire = parseWire(raw);
        std::istringstream line(wire.requestLine);
        LoopbackRequest request;
        line >> request.method >> request.target;
        request.path = request.target.substr(0, request.target.find('?'));
        request.headers = wire.headers;
        request.body = wire.body;
        const std::string response = answer(request);
        if (ssl) {
            SSL_write(ssl.get(), response.data(), static_cast<int>(response.size()));
            SSL_shutdown(ssl.get());
        } else {
            sendAll(fd, response);
        }
        ::shutdown(fd, SHUT_RDWR);  // the end of the answer, whole or cut short
    }

    // The response's bytes: the newest matching handler's answer, 404 without one.
    std::string answer(const LoopbackRequest& request) {
        LoopbackHandler handler;
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
            const bool head = request.method == "HEAD";
            const auto route = std::find_if(routes.rbegin(), routes.rend(), [&](const Route& r) {
                return (r.method == request.method || (head && r.method == "GET")) &&
                       std::regex_match(request.path, r.pattern);
            });
            if (route != routes.rend())
                handler = route->handler;
        }
        LoopbackResponse response;
        if (handler)
            handler(request, response);
        else
            response.status = 404;
        std::string bytes = "HTTP/1.1 " + std::to_string(response.status) +
                            " Status\r\nConnection: close\r\nContent-Length: " +
                            std::to_string(response.body.size()) + "\r\n";
        if (!response.body.empty())
            bytes += "Content-Type: " + response.contentType + "\r\n";
        for (const auto& [name, value] : response.headers)
            bytes += name + ": " + value + "\r\n";
        bytes += "\r\n";
        if (request.method != "HEAD")
            bytes += response.body.substr(0, response.dropAfterBytes.value_or(std::string::npos));
        return bytes;
    }
};

LoopbackServer::LoopbackServer() : impl_(std::make_unique<Impl>(nullptr)) {}

LoopbackServer::LoopbackServer(const SelfSignedCertificate& tls)
    : impl_(std::make_unique<Impl>(&tls)) {}

LoopbackServer::~LoopbackServer() = default;

std::string LoopbackServer::url(const std::string& path) const {
    const std::string plain = impl_->server.url(path);
    return impl_->tls ? "https" + plain.substr(4) : plain;
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
