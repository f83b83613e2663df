// Linux: renameat2 (glibc 2.28). The macOS counterpart is renamex_np(from, to,
// RENAME_EXCL) and renamex_np(from, to, RENAME_SWAP).
#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

#include "platform/rename.h"

namespace platform {

int renameNoReplace(const char* from, const char* to) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
}

int renameExchange(const char* from, const char* to) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0 ? 0 : errno;
}

}  // namespace platform
