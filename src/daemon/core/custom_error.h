#pragma once
// The daemon's own error: a message, which is also its description.

#include <exception>
#include <string>

namespace QVAgentLaunchDaemon {

class CustomError : public std::exception {
  public:
    explicit CustomError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
    const std::string& localizedDescription() const { return message; }

    std::string message;
};

}  // namespace QVAgentLaunchDaemon
