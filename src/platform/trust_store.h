#pragma once
// The certificates a session trusts: the system store, plus an extra CA
// bundle (PEM) when one is configured (QV_CA_FILE for the shared session).

#include <optional>
#include <string>

namespace platform {

struct TrustStore {
    // The system bundle followed by the extra one, as handed to libcurl;
    // empty when there is no extra bundle (libcurl's default store then).
    std::string bundle;
    // The extra bundle could not be read: every request must fail with this.
    std::optional<std::string> error;
};

// The store for an extra bundle at `caFile` (none when absent or empty).
TrustStore loadTrustStore(const std::optional<std::string>& caFile);

// QV_CA_FILE when it is set and not empty.
std::optional<std::string> caFileFromEnvironment();

}  // namespace platform
