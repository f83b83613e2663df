#pragma once
// The diagnostic log: one file per run,
// <root>/Library/Application Support/Tessaly/Quorvel/logs/diagnostic-<startFormatted>.log,
// written only while ENABLE_DIAGNOSTIC_LOGS is on. One line per entry:
//   <UTC time, yyyy-MM-ddTHH:mm:ssZ>: <U+2705 or, for an error, U+274C> - <message>
// Each entry is appended in one write, so concurrent entries never replace
// each other's content. An entry's message is at most kDiagnosticEntryLimit
// bytes: a longer one is cut there (at a character's start) and ends with
// "... (N bytes not shown)".

#include <cstddef>
#include <string>

#include "platform/json.h"

namespace QVAgentLaunchDaemon {

void log(const std::string& message, bool isError = false);
void log(const char* message, bool isError = false);
// A JSON value in its printed form (indented; may span several lines).
void log(const platform::Json& message, bool isError = false);

inline constexpr std::size_t kDiagnosticEntryLimit = 64 * 1024;

// An entry's message as written: the text itself, or for a JSON value other
// than a string what dump(2) prints; either cut after kDiagnosticEntryLimit
// bytes. A deep value costs no more than its compact form, however wide its
// indentation would grow.
std::string printedEntry(const std::string& message);
std::string printedEntry(const platform::Json& message);

// Path of this run's diagnostic log file (resolved under the system root).
std::string diagnosticLogPath();

}  // namespace QVAgentLaunchDaemon
