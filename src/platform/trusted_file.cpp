#include "platform/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace platform {
namespace {

// Why the opened entry is not to be trusted, or empty.
std::string distrust(const struct stat& status, std::size_t maxBytes) {
    if (!S_ISREG(status.st_mode))
        return "it is not a regular file";
    if (status.st_uid != ::geteuid())
        return "it is owned by user " + std::to_string(status.st_uid);
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "it is writable by group or others";
    if (status.st_nlink != 1)
        return "it has " + std::to_string(status.st_nlink) + " hard links";
    if (static_cast<unsigned long long>(status.st_size) > maxBytes)
        return "it is larger than " + std::to_string(maxBytes) + " bytes";
    return {};
}

}  // namespace

TrustedRead readTrustedFile(const std::string& path, std::size_t maxBytes) {
    TrustedRead result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return result;
        result.exists = true;
        // Only what the entry is makes it untrusted; any other failure (a
        // descriptor limit, an I/O error, no memory) passes.
        result.unreadableNow = error != ELOOP && error != ENXIO;
        result.problem = error == ELOOP   ? "it is a symbolic link"
                         : error == ENXIO ? "it is not a regular file"
                                          : std::strerror(error);
        return result;
    }
    result.exists = true;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        result.unreadableNow = true;
        result.problem = std::strerror(errno);
    } else {
        result.problem = distrust(status, maxBytes);
    }
    std::string content;
    if (result.problem.empty()) {
        // The size was checked on the descriptor, but a file that grows while
        // it is read is still cut off at the limit plus one byte and refused.
        content.resize(maxBytes + 1);
        std::size_t got = 0;
        while (got < content.size()) {
            const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                result.unreadableNow = true;
                result.problem = std::strerror(errno);
                break;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        if (result.problem.empty() && got > maxBytes)
            result.problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
        content.resize(got);
    }
    ::close(fd);
    if (result.problem.empty())
        result.content = std::move(content);
    return result;
}

Status removeEntryNoFollow(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return Status::success();
    if (errno != EISDIR && errno != EPERM)
        return Status::failure(std::strerror(errno));
    if (::rmdir(path.c_str()) == 0 || errno == ENOENT)
        return Status::success();
    if (errno != ENOTEMPTY && errno != EEXIST)
        return Status::failure(std::strerror(errno));
    std::random_device random;
    const std::string aside = path + ".untrusted-" + std::to_string(random());
    if (::rename(path.c_str(), aside.c_str()) != 0)
        return Status::failure(std::strerror(errno));
    return Status::success();
}

bool isRegularFileNoFollow(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace platform
