#pragma once
// Files left in world-writable folders (such as /tmp) by an earlier run: read
// only when nobody else could have planted or changed them.

#include <optional>
#include <string>

namespace platform {

struct TrustedRead {
    bool exists = false;                 // something is at the path (a symbolic link counts)
    std::optional<std::string> content;  // the bytes, when the file is trusted and was read
    std::string problem;                 // why it was not read otherwise
};

// Opens `path` without following a symbolic link and reads it whole only when
// it is a regular file owned by this process's effective user and not writable
// by group or others. The checks run on the opened descriptor, so the file
// cannot be swapped between check and read.
TrustedRead readTrustedFile(const std::string& path);

// True when `path` itself (a final symbolic link not followed) is a regular file.
bool isRegularFileNoFollow(const std::string& path);

}  // namespace platform
