#include "daemon/enrollment.h"

namespace QVAgentLaunchDaemon {

std::optional<std::string> login(const std::string&) {
    return std::nullopt;
}

void registerComputer() {}

}  // namespace QVAgentLaunchDaemon
