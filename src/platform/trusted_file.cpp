#include "platform/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

TrustedRead readTrustedFile(const std::string& path) {
    TrustedRead result;
    struct stat linkStatus {};
    if (::lstat(path.c_str(), &linkStatus) != 0) {
        result.problem = std::strerror(errno);
        return result;
    }
    result.exists = true;
    if (S_ISLNK(linkStatus.st_mode)) {
        result.problem = "it is a symbolic link";
        return result;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.problem = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return result;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        result.problem = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        result.problem = "it is not a regular file";
    } else if (status.st_uid != ::geteuid()) {
        result.problem = "it is owned by user " + std::to_string(status.st_uid);
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        result.problem = "it is writable by group or others";
    }
    if (!result.problem.empty()) {
        ::close(fd);
        return result;
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            result.problem = std::strerror(errno);
            ::close(fd);
            return result;
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    result.content = std::move(content);
    return result;
}

bool isRegularFileNoFollow(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace platform
