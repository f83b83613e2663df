#pragma once
// The computer's identity as the daemon keeps it: the "computerId" the server
// issued, in the product's preferences domain, and the installer
// configuration file "/tmp/qvconfig" whose customer key registers it. Neither
// is lost to a passing fault: an identity that cannot be read now is not
// "absent", and the key is kept until the identifier is on disk.

#include <optional>
#include <string>

namespace QVAgentLaunchDaemon {

inline constexpr const char* kInstallerConfigurationFile = "/tmp/qvconfig";

struct StoredIdentity {
    std::optional<std::string> computerId;  // a string value only
    bool unreadable = false;                // the preferences cannot be read now
};

// The stored "computerId"; a value that is not a string is ignored with an
// error line. An identifier issued this run that could not be written yet is
// served from memory.
StoredIdentity readStoredIdentity();
std::optional<std::string> storedComputerId();

// Stores the identifier; true once it is on disk. Otherwise it serves this run
// from memory, the write is retried on the configuration worker's schedule
// until it lands ("Computer ID saved to state" then), and only then is the
// installer configuration file removed.
bool storeComputerId(const std::string& computerId);

// True while an identifier is held that has not reached the disk yet: the
// installer configuration file must stay.
bool computerIdAwaitsWrite();

// Removes "/tmp/qvconfig" without following a link, unless the identifier
// still awaits its write.
void removeInstallerConfiguration();

}  // namespace QVAgentLaunchDaemon
