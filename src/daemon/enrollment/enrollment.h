#pragma once
// Enrollment with the API: registration of a new computer and login, which
// yields the authorization token.

#include <optional>
#include <string>
#include <string_view>

#include "platform/json.h"

namespace QVAgentLaunchDaemon {

// Facts about the machine sent with registration and login. A fact is absent
// when its command could not be started; it is then sent as JSON null.
struct MachineFacts {
    std::optional<std::string> productVersion;  // "sw_vers -productVersion"
    std::optional<std::string> buildVersion;    // "sw_vers -buildVersion"
    std::optional<std::string> computerName;    // "scutil --get ComputerName"
    std::optional<std::string> bootVolumeUuid;  // the boot volume's "Volume UUID" from diskutil
};

// Runs the four fact commands side by side: a start waits for the slowest of
// them, not for their sum.
MachineFacts readMachineFacts();

// The fields of the installer configuration file "/tmp/qvconfig". Empty
// strings when the file does not exist; absent when an extraction command
// could not be started.
struct InstallerConfiguration {
    std::optional<std::string> licenseKey;
    std::optional<std::string> companyName;
    std::optional<std::string> locationName;
};

// Splits the installer configuration file's text as the installer's own
// command line did (awk with the two characters backslash and n as field
// separator): field N of every line, joined by line feeds, white space
// trimmed at the ends. Every field is present; text that is not UTF-8 gives
// empty fields.
InstallerConfiguration splitInstallerConfiguration(std::string_view content);

// {"platform": "mac", "data": {"machineName", "serialNumber",
//  "operatingSystem": {"name": "macOS", "version", "build"}}}
platform::Json loginBody(const MachineFacts& facts);
// The login body plus "licenseKey", "companyName", "locationName" and
// "machineId" (the hardware platform UUID).
platform::Json registrationBody(const MachineFacts& facts,
                                const std::optional<std::string>& hardwareUuid,
                                const InstallerConfiguration& configuration);

// Logs in with the identifier; the token exactly as the "Authorization"
// header gave it (scheme word included), or absent. Stores nothing. Blocks
// until the exchange ends.
std::optional<std::string> login(const std::string& computerId);

// Registers the computer with the installer configuration and the machine
// facts, stores the identifier the server issues under "computerId", then
// logs in with it and sets authorizationToken and its memory-state entry.
// "/tmp/qvconfig" is removed only once the identifier is stored, so a failed
// registration keeps the customer key for the next attempt. Blocks until the
// exchanges end.
void registerComputer();

}  // namespace QVAgentLaunchDaemon
