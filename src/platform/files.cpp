#include "platform/files.h"
#include "platform/rename.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

Status describe(const char* what, const std::string& path, int error) {
    return Status::failure(std::string(what) + " " + path + ": " + std::strerror(error));
}

// The folder holding `path`, for the temporary file and the folder fsync.
std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes all of `data`, continuing after partial writes and interruptions.
// Returns 0 or the errno of the failure.
int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int closeChecked(int fd) {
    // Linux releases the descriptor even when close() reports EINTR; never retry.
    if (::close(fd) != 0 && errno != EINTR)
        return errno;
    return 0;
}

// Writes `content` to a new hidden file beside `path` (named in `temp`),
// flushed and with exactly `mode`; on failure nothing is left behind.
Status writeFlushedTemp(const std::string& path, const std::string& content, unsigned mode,
                        std::string& temp) {
    // A dot-prefixed name keeps a half-written file out of ordinary listings.
    temp = folderOf(path) + "/." + baseNameOf(path) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return describe("cannot create a temporary file for", path, errno);

    auto fail = [&](const char* what, int error, bool open) {
        if (open)
            ::close(fd);
        ::unlink(temp.c_str());
        return describe(what, path, error);
    };
    if (int error = writeAll(fd, content.data(), content.size()); error != 0)
        return fail("cannot write", error, true);
    // fchmod, unlike the mode given to open(), is not narrowed by the umask.
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0)
        return fail("cannot set the mode of", errno, true);
    if (::fsync(fd) != 0)
        return fail("cannot flush", errno, true);
    if (int error = closeChecked(fd); error != 0)
        return fail("cannot close", error, false);
    return Status::success();
}

// A rename is durable only once its folder is flushed.
Status flushFolderOf(const std::string& path) {
    const int dirFd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return describe("cannot open the folder of", path, errno);
    const int syncResult = ::fsync(dirFd);
    const int syncError = errno;
    ::close(dirFd);
    // Some file systems cannot flush a folder (EINVAL); the content is in place regardless.
    if (syncResult != 0 && syncError != EINVAL)
        return describe("cannot flush the folder of", path, syncError);
    return Status::success();
}

// Removes the entry `name` of the open folder `dirFd`, descending into
// folders through descriptors only; `budget` counts the entries left to remove.
bool removeEntryAt(int dirFd, const char* name, std::size_t& budget, int depth) {
    if (budget == 0)
        return false;
    --budget;
    if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT)
        return true;
    if ((errno != EISDIR && errno != EPERM) || depth > 64)
        return false;
    const int child = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0)
        return false;
    DIR* listing = ::fdopendir(child);
    if (listing == nullptr) {
        ::close(child);
        return false;
    }
    bool complete = true;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string entryName = entry->d_name;
        if (entryName == "." || entryName == "..")
            continue;
        if (!removeEntryAt(::dirfd(listing), entryName.c_str(), budget, depth + 1)) {
            complete = false;
            break;
        }
    }
    ::closedir(listing);
    return complete && (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

}  // namespace

Status writeFileAtomically(const std::string& path, const std::string& content, unsigned mode) {
    std::string temp;
    if (auto written = writeFlushedTemp(path, content, mode, temp); written.failed())
        return written;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return describe("cannot replace", path, error);
    }
    return flushFolderOf(path);
}

Status replaceWithFile(const std::string& path, const std::string& content, unsigned mode,
                       std::size_t removalLimit) {
    std::string temp;
    if (auto written = writeFlushedTemp(path, content, mode, temp); written.failed())
        return written;
    // Swapping, unlike a plain rename, succeeds whatever entry is in the way;
    // what comes out is then at the temporary name, ours to remove.
    if (int error = renameNoReplace(temp.c_str(), path.c_str()); error != 0) {
        if (error == EEXIST)
            error = renameExchange(temp.c_str(), path.c_str());
        if (error != 0) {
            ::unlink(temp.c_str());
            return describe("cannot replace", path, error);
        }
        // What is left of the swapped-out entry stays under its hidden name.
        (void)removeTreeNoFollow(temp, removalLimit);
    }
    return flushFolderOf(path);
}

bool removeTreeNoFollow(const std::string& path, std::size_t limit) {
    const int dirFd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    const bool removed = removeEntryAt(dirFd, baseNameOf(path).c_str(), limit, 0);
    ::close(dirFd);
    return removed;
}

Result<std::string> readFile(const std::string& path) {
    // errno stays the cause of a failure, for callers that tell a missing
    // file from an unreadable one.
    auto failure = [&](const char* what, int error) {
        Status status = describe(what, path, error);
        errno = error;
        return status;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure("cannot open", errno);
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            return failure("cannot read", error);
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return content;
}

Status appendToFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return describe("cannot open", path, errno);
    // One write() per call: with O_APPEND each entry lands whole at the end even
    // when several threads or processes append at once. A partial write (disk
    // full, signal) continues with the rest rather than dropping it.
    if (int error = writeAll(fd, content.data(), content.size()); error != 0) {
        ::close(fd);
        return describe("cannot append to", path, error);
    }
    if (int error = closeChecked(fd); error != 0)
        return describe("cannot close", path, error);
    return Status::success();
}

Status createDirectories(const std::string& path, unsigned mode) {
    if (path.empty())
        return Status::failure("cannot create a folder with an empty path");
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        const std::string prefix = path.substr(0, position);
        if (prefix.empty() || prefix == "/" || prefix.back() == '/')
            continue;
        if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0) {
            // Exactly `mode`, whatever the process umask (a 0700 folder must not
            // come out wider, a 0755 one not narrower).
            if (::chmod(prefix.c_str(), static_cast<mode_t>(mode)) != 0) {
                return describe("cannot set the mode of", prefix, errno);
            }
            continue;
        }
        const int error = errno;
        struct stat info {};
        if (error == EEXIST && ::stat(prefix.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode))
                continue;
            return describe("cannot create folder", prefix, ENOTDIR);
        }
        return describe("cannot create folder", prefix, error);
    }
    return Status::success();
}

Status createDirectory(const std::string& path, unsigned mode) {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0)
        return describe("cannot create folder", path, errno);
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0)
        return describe("cannot set the mode of", path, errno);
    return Status::success();
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace platform
