#pragma once
// A string global that one thread replaces as a whole while others read it.

#include <mutex>
#include <optional>
#include <string>

namespace QVAgentLaunchDaemon {

class SharedOptionalString {
  public:
    std::optional<std::string> get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(std::optional<std::string> value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> value_;
};

}  // namespace QVAgentLaunchDaemon
