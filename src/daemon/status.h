#pragma once
// The administrator's status report (`--status`, `--status --json`): the
// enrollment stored in the preferences domain, the diagnostics switch and this
// run's diagnostic log, an agent update in progress, and the last
// configuration fetch, check-in and error of the text log.
//
// Safe while the daemon runs: every file is only read (the text log only its
// last MiB), nothing is written or created, no lock of the daemon is taken,
// nothing is sent, and nothing goes to the daemon's logs.

#include <optional>
#include <string>

#include "platform/json.h"

namespace QVAgentLaunchDaemon {

// One text-log entry: "<time> <level> <message>".
struct LogEntry {
    std::string time;  // UTC ISO 8601 with milliseconds and Z, as written
    std::string level;
    std::string message;
    std::string line;  // the whole line
};

struct StatusReport {
    std::string preferencesPath;
    std::optional<std::string> preferencesProblem;  // missing, unreadable, not a dictionary
    std::optional<std::string> computerId;          // each only when stored as a string
    std::optional<std::string> agentId;
    std::optional<std::string> adminPortalBaseUrl;

    bool diagnosticsEnabled = false;
    std::optional<std::string> diagnosticLog;  // the diagnostic-*.log written last

    bool updateInProgress = false;  // a trusted trigger file, as the daemon reads it
    std::optional<std::string> updateRequestId;
    std::optional<std::string> updateProblem;  // why a trigger file present is not one

    std::string textLogPath;
    bool textLogPresent = false;
    std::optional<LogEntry> lastConfigurationFetch;  // "Got configuration at": an answer applied
    std::optional<LogEntry> lastCheckIn;             // "Making check-in request": a request sent
    std::optional<LogEntry> lastError;

    bool enrolled() const { return computerId.has_value(); }
};

// Reads everything under the system root (QV_ROOT).
StatusReport collectStatus();

// One object; absent values are null.
platform::Json statusJson(const StatusReport& report);
// Aligned "Label: value" lines; control characters of stored text shown as '?'.
std::string statusText(const StatusReport& report);

// Prints the report to stdout; the exit status: 0 when enrolled, 1 when not.
int runStatusCommand(bool asJson);

}  // namespace QVAgentLaunchDaemon
