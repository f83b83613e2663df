#pragma once
// Small file helpers shared by the platform and the daemon.

#include <cstddef>
#include <string>

#include "platform/result.h"

namespace platform {

// Writes `content` to a temporary file beside `path`, fsyncs it, sets `mode`
// and renames it over `path`.
Status writeFileAtomically(const std::string& path, const std::string& content,
                           unsigned mode = 0644);

// Puts a file holding `content` (flushed, mode `mode`) at `path` in one atomic
// step, whatever is there now: a file, a link or a folder with content is
// swapped out (an exchange rename), never followed, and then removed (a
// folder's tree at most `removalLimit` entries; beyond that it is left under
// its hidden temporary name). A local user racing entries into the path in a
// world-writable folder cannot block the write.
Status replaceWithFile(const std::string& path, const std::string& content, unsigned mode,
                       std::size_t removalLimit = 100000);

// Removes `path` and, for a folder, everything below it, never following a
// link (every step relative to an opened folder); at most `limit` entries.
// True when nothing is left.
[[nodiscard]] bool removeTreeNoFollow(const std::string& path, std::size_t limit);

// Whole file content, or why it cannot be read.
Result<std::string> readFile(const std::string& path);

// Appends `content` in one write (O_APPEND|O_CREAT, mode 0644).
Status appendToFile(const std::string& path, const std::string& content);

// mkdir -p; every folder created gets exactly `mode`, whatever the umask.
Status createDirectories(const std::string& path, unsigned mode = 0755);

// mkdir of one folder (no parents) with exactly `mode`; an existing folder
// is a failure.
Status createDirectory(const std::string& path, unsigned mode);

[[nodiscard]] bool fileExists(
    const std::string& path);  // anything at the path (not following a final symlink)

}  // namespace platform
