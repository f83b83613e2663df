#pragma once
// Files left in world-writable folders (such as /tmp) by an earlier run or an
// installer: read only when nobody else could have planted or changed them.

#include <cstddef>
#include <optional>
#include <string>

#include "platform/result.h"

namespace platform {

struct TrustedRead {
    bool exists = false;                 // something is at the path (a symbolic link counts)
    std::optional<std::string> content;  // the bytes, when the file is trusted and was read
    std::string problem;                 // why it was not read otherwise
    // The entry could not be opened or read for a passing reason (descriptor
    // limit, I/O error, no memory): not a verdict on the entry, which must be
    // left as it is. Otherwise a problem means the entry is not to be trusted.
    bool unreadableNow = false;
};

// Opens `path` once, without following a symbolic link and without blocking
// (a FIFO planted there never holds the caller), and reads it only when the
// opened descriptor is a regular file owned by this process's effective user,
// not writable by group or others, with one hard link and at most `maxBytes`
// bytes. The checks run on the descriptor that is read, so the file cannot be
// swapped between check and read.
[[nodiscard]] TrustedRead readTrustedFile(const std::string& path, std::size_t maxBytes);

// Removes whatever is at `path` without following a symbolic link: a file or
// link is unlinked, an empty folder removed, and a folder with content is
// renamed aside (never descended into: its content belongs to someone else).
Status removeEntryNoFollow(const std::string& path);

// True when `path` itself (a final symbolic link not followed) is a regular file.
[[nodiscard]] bool isRegularFileNoFollow(const std::string& path);

}  // namespace platform
