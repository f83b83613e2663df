#pragma once
// Small file helpers shared by the platform and the daemon.

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// Writes `content` to a temporary file beside `path`, fsyncs it, sets `mode`
// and renames it over `path`. Returns an error description on failure.
std::optional<std::string> writeFileAtomically(const std::string& path, const std::string& content,
                                               unsigned mode = 0644);

// Puts a file holding `content` (flushed, mode `mode`) at `path` in one atomic
// step, whatever is there now: a file, a link or a folder with content is
// swapped out (an exchange rename), never followed, and then removed (a
// folder's tree at most `removalLimit` entries; beyond that it is left under
// its hidden temporary name). A local user racing entries into the path in a
// world-writable folder cannot block the write. An error description on failure.
std::optional<std::string> replaceWithFile(const std::string& path, const std::string& content,
                                           unsigned mode, std::size_t removalLimit = 100000);

// Removes `path` and, for a folder, everything below it, never following a
// link (every step relative to an opened folder); at most `limit` entries.
// True when nothing is left.
bool removeTreeNoFollow(const std::string& path, std::size_t limit);

// Whole file content, or absent when it cannot be read (errno tells why).
std::optional<std::string> readFile(const std::string& path);

// Appends `content` in one write (O_APPEND|O_CREAT, mode 0644); error description on failure.
std::optional<std::string> appendToFile(const std::string& path, const std::string& content);

// mkdir -p; every folder created gets exactly `mode`, whatever the umask. An
// error description on failure.
std::optional<std::string> createDirectories(const std::string& path, unsigned mode = 0755);

// mkdir of one folder (no parents) with exactly `mode`; an error description
// on failure (an existing folder included).
std::optional<std::string> createDirectory(const std::string& path, unsigned mode);

bool fileExists(const std::string& path);  // anything at the path (not following a final symlink)

}  // namespace platform
