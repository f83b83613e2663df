#include "daemon/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <vector>

#include "daemon/actions/agent_update.h"
#include "daemon/core/app_core.h"
#include "daemon/core/paths.h"
#include "daemon/watchers/config_watcher.h"
#include "keelbase/paths.h"
#include "keelbase/state.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/preferences.h"
#include "platform/process.h"
#include "platform/system_root.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

namespace QVAgentLaunchDaemon {
namespace {

// Enough for thousands of entries, however large the log has grown.
constexpr off_t kLogTailBytes = 1 << 20;

void readPreferences(StatusReport& report) {
    report.preferencesPath = platform::Preferences::pathForDomain(App::Core::Metadata::bundleId());
    // The file itself, never the Preferences cache: that one may move a corrupt
    // file aside or write a pending change back.
    const auto bytes = platform::readFile(report.preferencesPath);
    if (bytes.failed()) {
        report.preferencesProblem =
            platform::fileExists(report.preferencesPath) ? "unreadable" : "missing";
        return;
    }
    const auto root = platform::plistFromBytes(*bytes);
    const auto* dict = root ? std::get_if<platform::PlistDict>(&root->value) : nullptr;
    if (dict == nullptr) {
        report.preferencesProblem = "not a property-list dictionary";
        return;
    }
    auto stringAt = [&](const std::string& key) -> std::optional<std::string> {
        const auto found = dict->find(key);
        if (found == dict->end())
            return std::nullopt;
        if (const auto* text = std::get_if<std::string>(&found->second.value))
            return *text;
        return std::nullopt;  // the daemon ignores a value that is not a string
    };
    report.computerId = stringAt("computerId");
    report.agentId = stringAt("agentId");
    report.adminPortalBaseUrl = stringAt(Keelbase::Lib::State::keyName(
        Keelbase::Lib::State::StoredStateKeyNames::adminPortalBaseUrl));
}

void readDiagnostics(StatusReport& report) {
    // An unreadable or non-UTF-8 file is not parsed by the daemon either.
    const auto text = platform::readFile(platform::SystemRoot::resolve(kDebugConfigurationFile));
    if (text.ok() && platform::isValidUtf8(*text)) {
        const auto mapping = parseConfigText(*text);
        const auto found = mapping.find("ENABLE_DIAGNOSTIC_LOGS");
        report.diagnosticsEnabled = found != mapping.end() && found->second == "true";
    }
    // Logs are named after their run's start time on the wall clock, which
    // may have been set back since: the newest is the one written last (the
    // greatest name among those written at the same time).
    std::error_code error;
    const std::filesystem::path folder =
        platform::SystemRoot::resolve(Keelbase::Paths::kLogsFolder);
    std::filesystem::file_time_type newest;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError, timeError;
        if (!name.starts_with("diagnostic-") || !name.ends_with(".log") ||
            !std::filesystem::is_regular_file(it->symlink_status(typeError)))
            continue;
        const auto written = it->last_write_time(timeError);
        if (timeError)
            continue;
        if (!report.diagnosticLog || written > newest ||
            (written == newest && it->path().string() > *report.diagnosticLog)) {
            report.diagnosticLog = it->path().string();
            newest = written;
        }
    }
}

void readUpdate(StatusReport& report) {
    // The daemon's trust rules, without its removal of an untrusted file.
    const auto read = platform::readTrustedFile(platform::SystemRoot::resolve(kUpdateTriggerPath),
                                                kUpdateTriggerLimit);
    if (!read.exists)
        return;
    if (!read.content || !platform::isValidUtf8(*read.content)) {
        report.updateProblem = "trigger file not trusted: " +
                               (read.problem.empty() ? "it is not UTF-8 text" : read.problem);
        return;
    }
    report.updateInProgress = true;
    const auto lines = splitAtNewlines(*read.content);
    if (!lines[0].empty())
        report.updateRequestId = lines[0];
}

// The last kLogTailBytes of a regular file, cut to whole lines; absent when
// there is none to read.
std::optional<std::string> readTail(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<std::string> tail;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const off_t start = status.st_size > kLogTailBytes ? status.st_size - kLogTailBytes : 0;
        std::string bytes(static_cast<std::size_t>(status.st_size - start), '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got,
                                      start + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        if (start > 0) {  // the first line is only the end of one
            const auto newline = bytes.find('\n');
            bytes.erase(0, newline == std::string::npos ? bytes.size() : newline + 1);
        }
        tail = std::move(bytes);
    }
    ::close(fd);
    return tail;
}

// "2026-12-06T20:51:00.123Z INFO message"; absent for a continuation line
// of a multi-line message or anything else.
std::optional<LogEntry> parseEntry(std::string_view line) {
    static constexpr std::string_view kTime = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() < kTime.size())
        return std::nullopt;
    for (std::size_t i = 0; i < kTime.size(); ++i) {
        const bool ok = kTime[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                        : line[i] == kTime[i];
        if (!ok)
            return std::nullopt;
    }
    const std::string_view rest = line.substr(kTime.size());
    const auto space = rest.find(' ');
    const std::string_view level = rest.substr(0, space);
    if (level != "INFO" && level != "ERROR" && level != "TITLE")
        return std::nullopt;
    return LogEntry{std::string(line.substr(0, kTime.size() - 1)), std::string(level),
                    space == std::string_view::npos ? "" : std::string(rest.substr(space + 1)),
                    std::string(line)};
}

// Fills the entries still absent from the newest matching lines of `text`.
void scanLog(const std::string& text, StatusReport& report) {
    std::size_t end = text.size();
    while (end > 0 && !(report.lastConfigurationFetch && report.lastCheckIn && report.lastError)) {
        const auto begin = text.rfind('\n', end - 1);
        const std::size_t from = begin == std::string::npos ? 0 : begin + 1;
        const auto entry = parseEntry(std::string_view(text).substr(from, end - from));
        end = begin == std::string::npos ? 0 : begin;
        if (!entry)
            continue;
        if (entry->level == "ERROR") {
            if (!report.lastError)
                report.lastError = entry;
        } else if (entry->level == "INFO" && entry->message.starts_with("Got configuration at ")) {
            if (!report.lastConfigurationFetch)
                report.lastConfigurationFetch = entry;
        } else if (entry->level == "INFO" && entry->message == "Making check-in request") {
            if (!report.lastCheckIn)
                report.lastCheckIn = entry;
        }
    }
}

void readTextLog(StatusReport& report) {
    const std::string folder = platform::SystemRoot::resolve(Keelbase::Paths::kLogsFolder);
    report.textLogPath = folder + "/TotalLog.log";
    if (const auto tail = readTail(report.textLogPath)) {
        report.textLogPresent = true;
        scanLog(*tail, report);
    }
    // Just after a rotation the older entries are in the previous file.
    if (const auto previous = readTail(folder + "/TotalLog.1.log"))
        scanLog(*previous, report);
}

platform::Json orNull(const std::optional<std::string>& value) {
    return value ? platform::Json(*value) : platform::Json(nullptr);
}

platform::Json entryJson(const std::optional<LogEntry>& entry, const char* event) {
    if (!entry)
        return nullptr;
    return {{"time", entry->time}, {"line", entry->line}, {"event", event}};
}

std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

std::string orNone(const std::optional<std::string>& value) {
    return value ? printable(*value) : "none";
}

std::string entryText(const std::optional<LogEntry>& entry, const std::string& event) {
    return entry ? entry->time + " " + event : "none found in the text log";
}

}  // namespace

StatusReport collectStatus() {
    StatusReport report;
    readPreferences(report);
    readDiagnostics(report);
    readUpdate(report);
    readTextLog(report);
    return report;
}

platform::Json statusJson(const StatusReport& report) {
    return {
        {"enrolled", report.enrolled()},
        {"computerId", orNull(report.computerId)},
        {"agentId", orNull(report.agentId)},
        {"adminPortalBaseUrl", orNull(report.adminPortalBaseUrl)},
        {"preferences",
         {{"path", report.preferencesPath}, {"problem", orNull(report.preferencesProblem)}}},
        {"diagnostics",
         {{"enabled", report.diagnosticsEnabled}, {"log", orNull(report.diagnosticLog)}}},
        {"update",
         {{"inProgress", report.updateInProgress},
          {"requestId", orNull(report.updateRequestId)},
          {"problem", orNull(report.updateProblem)}}},
        {"textLog", {{"path", report.textLogPath}, {"present", report.textLogPresent}}},
        {"lastConfigurationFetch",
         entryJson(report.lastConfigurationFetch, "configuration received")},
        {"lastCheckIn", entryJson(report.lastCheckIn, "check-in request sent")},
        {"lastError", entryJson(report.lastError, "error")},
    };
}

std::string statusText(const StatusReport& report) {
    std::vector<std::pair<std::string, std::string>> rows = {
        {"Enrolled", report.enrolled() ? "yes" : "no"},
        {"Computer ID", orNone(report.computerId)},
        {"Agent ID", orNone(report.agentId)},
        {"Admin portal", orNone(report.adminPortalBaseUrl)},
        {"Preferences",
         printable(report.preferencesPath) +
             (report.preferencesProblem ? " (" + *report.preferencesProblem + ")" : "")},
        {"Diagnostics", report.diagnosticsEnabled ? "on" : "off"},
        {"Diagnostic log", orNone(report.diagnosticLog)},
        {"Update in progress",
         std::string(report.updateInProgress ? "yes" : "no") +
             (report.updateProblem ? " (" + printable(*report.updateProblem) + ")" : "")},
        {"Update request ID", orNone(report.updateRequestId)},
        {"Text log", printable(report.textLogPath) + (report.textLogPresent ? "" : " (missing)")},
        {"Last configuration",
         entryText(report.lastConfigurationFetch, "(configuration received)")},
        {"Last check-in", entryText(report.lastCheckIn, "(check-in request sent)")},
        {"Last error", report.lastError
                           ? report.lastError->time + " " + printable(report.lastError->message)
                           : "none found in the text log"},
    };
    std::size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, row.first.size());
    std::string text;
    for (const auto& [label, value] : rows)
        text += label + ":" + std::string(width + 2 - label.size(), ' ') + value + "\n";
    return text;
}

int runStatusCommand(bool asJson) {
    const StatusReport report = collectStatus();
    if (asJson)
        std::cout << statusJson(report).dump(2, ' ', false,
                                             platform::Json::error_handler_t::replace)
                  << "\n";
    else
        std::cout << statusText(report);
    std::cout.flush();
    return report.enrolled() ? 0 : 1;
}

}  // namespace QVAgentLaunchDaemon
