#pragma once
// A pipe for a child's output, per operating system.

namespace platform {

// Opens a pipe whose two ends are closed on exec from their first moment, so
// a child that another thread spawns at the same time never inherits them
// (and never holds the write end open past the child it was made for).
// 0, or -1 with errno set.
int openCloexecPipe(int fds[2]);

}  // namespace platform
