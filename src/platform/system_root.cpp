#include "platform/system_root.h"

#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex& rootMutex() {
    static std::mutex m;
    return m;
}

std::string& rootStorage() {
    static std::string root = [] {
        const char* env = std::getenv("QV_ROOT");
        std::string value = (env != nullptr && *env != '\0') ? env : "/";
        while (value.size() > 1 && value.back() == '/')
            value.pop_back();
        return value;
    }();
    return root;
}

}  // namespace

const std::string& SystemRoot::get() {
    std::lock_guard lock(rootMutex());
    return rootStorage();
}

void SystemRoot::set(std::string root) {
    std::lock_guard lock(rootMutex());
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    rootStorage() = root.empty() ? "/" : std::move(root);
}

std::string SystemRoot::resolve(std::string_view absolutePath) {
    const std::string& root = get();
    if (root == "/" || absolutePath.empty() || absolutePath.front() != '/') {
        return std::string(absolutePath);
    }
    return root + std::string(absolutePath);
}

std::string SystemRoot::forCommandLine(std::string_view absolutePath) {
    return shellQuoteIfNeeded(resolve(absolutePath));
}

std::string shellQuoteIfNeeded(std::string_view word) {
    static constexpr std::string_view kSafe =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@%=";
    if (!word.empty() && word.find_first_not_of(kSafe) == std::string_view::npos) {
        return std::string(word);
    }
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

}  // namespace platform
