#pragma once
// A bare TCP acceptor on 127.0.0.1 for tests that must see a request's bytes
// exactly as sent (header order, absent headers) or need a peer that
// misbehaves (never answers, drops the connection) in ways an HTTP library
// won't.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_session.h"

namespace qvtest {

// A bare TCP acceptor on 127.0.0.1: each connection runs `handler(fd)` on its
// own thread. Lets a test read the request bytes exactly as sent, or
// misbehave (never answer, drop the connection) in ways an HTTP library won't.
class RawServer {
  public:
    using Handler = std::function<void(int fd)>;

    explicit RawServer(Handler handler) : handler_(std::move(handler)) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (listenFd_ < 0 ||
            ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listenFd_, 64) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("RawServer: cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~RawServer() {
        stopping_ = true;
        ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
        acceptor_.join();
        ::close(listenFd_);
        std::lock_guard lock(mutex_);
        for (int fd : connections_)
            ::shutdown(fd, SHUT_RDWR);  // wakes handlers blocked in recv()
        for (auto& worker : workers_)
            worker.join();
        for (int fd : connections_)
            ::close(fd);
    }

    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    void acceptLoop() {
        for (;;) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR && !stopping_)
                    continue;
                return;
            }
            std::lock_guard lock(mutex_);
            connections_.push_back(fd);
            workers_.emplace_back([this, fd] { handler_(fd); });
        }
    }

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> workers_;
};

inline void sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

// Reads one request: the header block, then Content-Length bytes of body.
inline std::string readRequest(int fd) {
    std::string data;
    char buffer[4096];
    std::size_t headerEnd = std::string::npos;
    std::size_t expected = std::string::npos;
    for (;;) {
        if (headerEnd == std::string::npos) {
            headerEnd = data.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                std::size_t bodyLength = 0;
                std::string lower = data.substr(0, headerEnd);
                for (auto& c : lower)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                auto at = lower.find("\r\ncontent-length:");
                if (at != std::string::npos) {
                    bodyLength = std::stoul(lower.substr(at + 17));
                }
                expected = headerEnd + 4 + bodyLength;
            }
        }
        if (expected != std::string::npos && data.size() >= expected)
            return data;
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return data;
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

inline void waitForPeerToClose(int fd) {
    char buffer[256];
    while (::recv(fd, buffer, sizeof(buffer), 0) > 0) {
    }
}

struct WireRequest {
    std::string requestLine;
    platform::HeaderList headers;  // in wire order
    std::string body;
};

inline WireRequest parseWire(const std::string& raw) {
    WireRequest parsed;
    auto headerEnd = raw.find("\r\n\r\n");
    if (headerEnd == std::string::npos)
        return parsed;
    parsed.body = raw.substr(headerEnd + 4);
    std::string head = raw.substr(0, headerEnd + 2);
    std::size_t start = 0;
    bool first = true;
    for (auto end = head.find("\r\n"); end != std::string::npos; end = head.find("\r\n", start)) {
        std::string line = head.substr(start, end - start);
        start = end + 2;
        if (first) {
            parsed.requestLine = line;
            first = false;
            continue;
        }
        auto colon = line.find(':');
        std::string value = line.substr(colon + 1);
        if (!value.empty() && value.front() == ' ')
            value.erase(0, 1);
        parsed.headers.emplace_back(line.substr(0, colon), value);
    }
    return parsed;
}

}  // namespace qvtest
