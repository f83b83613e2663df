#pragma once
// A bare TCP acceptor on 127.0.0.1 for tests that must see a request's bytes
// exactly as sent (header order, absent headers) or need a peer that
// misbehaves (never answers, drops the connection) in ways an HTTP library
// won't.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_session.h"

namespace qvtest {

// Each connection runs `handler(fd)` on its own thread.
class RawServer {
  public:
    using Handler = std::function<void(int fd)>;

    explicit RawServer(Handler handler) : handler_(std::move(handler)) {
        listenFd_ = closeOnExec(::socket(AF_INET, SOCK_STREAM, 0));
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
    // Marks `fd` close-on-exec and keeps SIGPIPE off its writes (macOS's
    // SO_NOSIGPIPE; on Linux sendAll passes MSG_NOSIGNAL); a race with a
    // spawn elsewhere only lends a test's child a loopback socket.
    static int closeOnExec(int fd) {
        if (fd >= 0)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#if defined(SO_NOSIGPIPE)
        const int on = 1;
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
        return fd;
    }

    void acceptLoop() {
        for (;;) {
            int fd = closeOnExec(::accept(listenFd_, nullptr, nullptr));
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
#if defined(__linux__)
    constexpr int flags = MSG_NOSIGNAL;
#else
    constexpr int flags = 0;  // SO_NOSIGPIPE is set on the socket
#endif
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, flags);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

// Reads one request: the header block, then Content-Length bytes of body.
inline std::string readRequest(int fd) {
    std::string data;
    char buffer[4096];
    for (;;) {
        if (const auto headEnd = data.find("\r\n\r\n"); headEnd != std::string::npos) {
            const std::string head = data.substr(0, headEnd);
            const char* length = ::strcasestr(head.c_str(), "\r\ncontent-length:");
            if (data.size() >= headEnd + 4 + (length ? std::stoul(length + 17) : 0))
                return data;
        }
        const auto n = ::recv(fd, buffer, sizeof(buffer), 0);
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
    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return parsed;
    parsed.body = raw.substr(headEnd + 4);
    parsed.requestLine = raw.substr(0, raw.find("\r\n"));
    for (auto start = parsed.requestLine.size() + 2; start < headEnd + 2;) {
        const auto end = raw.find("\r\n", start);
        const std::string line = raw.substr(start, end - start);
        start = end + 2;
        const auto colon = line.find(':');
        const std::string value = line.substr(colon + 1);
        parsed.headers.emplace_back(line.substr(0, colon),
                                    value.starts_with(' ') ? value.substr(1) : value);
    }
    return parsed;
}

}  // namespace qvtest
