// Linux's quick-ACK mode (TCP_QUICKACK), for platform/quick_ack.h.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/quick_ack.h"

namespace platform {

void acknowledgeNow(int fd) {
    if (fd < 0)
        return;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

}  // namespace platform
