#pragma once
// The diagnostic log: one file per run,
// <root>/Library/Application Support/Tessaly/Quorvel/logs/diagnostic-<startFormatted>.log,
// written only while ENABLE_DIAGNOSTIC_LOGS is on. One line per entry:
//   <UTC time, yyyy-MM-ddTHH:mm:ssZ>: <U+2705 or, for an error, U+274C> - <message>
// Each entry is appended in one write, so concurrent entries never replace
// each other's content.

#include <string>

#include "platform/json.h"

namespace QVAgentLaunchDaemon {

void log(const std::string& message, bool isError = false);
void log(const char* message, bool isError = false);
// A JSON value in its printed form (indented; may span several lines).
void log(const platform::Json& message, bool isError = false);

// Path of this run's diagnostic log file (resolved under the system root).
std::string diagnosticLogPath();

}  // namespace QVAgentLaunchDaemon
