#pragma once
// Quick acknowledgements on a session's connections. A server that writes a
// response's headers and its body in two small writes without TCP_NODELAY
// (cpp-httplib's default, for one) holds the body back (Nagle) until the
// headers are acknowledged, and on a reused connection, where request and
// answer alternate, the kernel delays that acknowledgement by up to 40 ms:
// such answers took 40 ms over loopback instead of 1. The session therefore
// acknowledges at once when a response's headers are complete, so the body
// follows at once; quick-ACK mode is not sticky, hence once per response.

#include <curl/curl.h>

#include <unordered_set>

namespace platform {

// Acknowledges at once what the connection on socket `fd` has received; does
// nothing for a negative `fd` or where the system has no quick-ACK mode.
void acknowledgeNow(int fd);

// The sockets libcurl opened for one session, so that a transfer can find
// the socket of its connection, fresh or reused. Network thread only (and
// the session's destructor, once that thread has ended).
class SocketRegistry {
  public:
    // CURLOPT_OPENSOCKETFUNCTION and CURLOPT_CLOSESOCKETFUNCTION, the registry
    // as their data. Every socket is opened close-on-exec.
    static curl_socket_t open(void* self, curlsocktype, curl_sockaddr* address);
    static int close(void* self, curl_socket_t fd);
    // The socket bound to the local `port`; CURL_SOCKET_BAD when none is.
    curl_socket_t withLocalPort(int port) const;

  private:
    std::unordered_set<curl_socket_t> sockets_;
};

}  // namespace platform
