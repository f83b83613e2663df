#pragma once
// Small file helpers shared by the platform and the daemon.

#include <optional>
#include <string>

namespace platform {

// Writes `content` to a temporary file beside `path`, fsyncs it, sets `mode`
// and renames it over `path`. Returns an error description on failure.
std::optional<std::string> writeFileAtomically(const std::string& path, const std::string& content,
                                               unsigned mode = 0644);

// Whole file content, or absent when it cannot be read.
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
