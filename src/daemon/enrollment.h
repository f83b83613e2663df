#pragma once
// Enrollment with the API: registration of a new computer and login, which
// yields the authorization token.

#include <optional>
#include <string>

namespace QVAgentLaunchDaemon {

// Logs in with the stored identifier; the token exactly as the "Authorization"
// header gave it, or absent. Blocks until the exchange ends.
std::optional<std::string> login(const std::string& computerId);

// Registers the computer, stores "computerId", then logs in and sets
// authorizationToken and its memory-state entry.
void registerComputer();

}  // namespace QVAgentLaunchDaemon
