// Linux: pipe2 sets close-on-exec in the same call that opens the pipe.

#include "platform/cloexec_pipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform {

int openCloexecPipe(int fds[2]) {
    return ::pipe2(fds, O_CLOEXEC);
}

}  // namespace platform
