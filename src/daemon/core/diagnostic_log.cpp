#include "daemon/core/diagnostic_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "daemon/core/globals.h"
#include "keelbase/paths.h"
#include "platform/files.h"
#include "platform/system_root.h"

namespace QVAgentLaunchDaemon {
namespace {

std::string isoNowUtc() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void writeEntry(const std::string& rendered, bool isError) {
    const std::string folder = platform::SystemRoot::resolve(Keelbase::Paths::kLogsFolder);
    platform::createDirectories(folder);  // a failure shows up as a failed append below
    const std::string line =
        isoNowUtc() + ": " + (isError ? "\u274C" : "\u2705") + " - " + rendered + "\n";
    if (auto error = platform::appendToFile(diagnosticLogPath(), line)) {
        std::cout << "\u274C Failed to write file: " << *error << std::endl;
    }
}

}  // namespace

std::string diagnosticLogPath() {
    return platform::SystemRoot::resolve(std::string(Keelbase::Paths::kLogsFolder) +
                                         "/diagnostic-" + startFormatted + ".log");
}

void log(const std::string& message, bool isError) {
    if (!ENABLE_DIAGNOSTIC_LOGS.load())
        return;
    writeEntry(message, isError);
}

void log(const char* message, bool isError) {
    log(std::string(message), isError);
}

void log(const platform::Json& message, bool isError) {
    if (!ENABLE_DIAGNOSTIC_LOGS.load())
        return;
    writeEntry(message.is_string() ? message.get<std::string>() : message.dump(2), isError);
}

}  // namespace QVAgentLaunchDaemon
