#include "platform/quick_ack.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

// A new socket, close-on-exec: atomically where the system can, else set
// right after (macOS has no SOCK_CLOEXEC).
int openCloseOnExec(int family, int type, int protocol) {
#ifdef SOCK_CLOEXEC
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
#else
    const int fd = ::socket(family, type, protocol);
    if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
#endif
}

}  // namespace

#ifndef __linux__
// No quick-ACK mode to switch on: the peer's delayed acknowledgement stands.
void acknowledgeNow(int) {}
#endif

curl_socket_t SocketRegistry::open(void* self, curlsocktype, curl_sockaddr* address) {
    const int fd = openCloseOnExec(address->family, address->socktype, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    static_cast<SocketRegistry*>(self)->sockets_.insert(fd);
    return fd;
}

int SocketRegistry::close(void* self, curl_socket_t fd) {
    static_cast<SocketRegistry*>(self)->sockets_.erase(fd);
    return ::close(fd);
}

curl_socket_t SocketRegistry::withLocalPort(int port) const {
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

}  // namespace platform
