#include "daemon/core/diagnostic_log.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string_view>
#include <utility>

#include "daemon/core/globals.h"
#include "keelbase/paths.h"
#include "platform/files.h"
#include "platform/system_root.h"
#include "platform/time.h"

namespace QVAgentLaunchDaemon {
namespace {

// An entry's text as it is produced: the first kDiagnosticEntryLimit bytes
// (and one more, to tell where a character starts) are kept, the rest only
// counted, so a value whose printed form would be huge costs no more than
// walking it.
class BoundedText {
  public:
    void append(std::string_view text) {
        if (kept_.size() <= kDiagnosticEntryLimit)
            kept_.append(text.substr(0, kDiagnosticEntryLimit + 1 - kept_.size()));
        total_ += text.size();
    }
    void appendSpaces(std::size_t count) {
        if (kept_.size() <= kDiagnosticEntryLimit)
            kept_.append(std::min(count, kDiagnosticEntryLimit + 1 - kept_.size()), ' ');
        total_ += count;
    }
    // The text, or its first bytes up to the limit, cut at a character's start,
    // and "... (N bytes not shown)".
    std::string finish() && {
        if (total_ <= kDiagnosticEntryLimit)
            return std::move(kept_);
        std::size_t cut = kDiagnosticEntryLimit;
        while (cut > 0 && (static_cast<unsigned char>(kept_[cut]) & 0xc0) == 0x80)
            --cut;
        kept_.resize(cut);
        return kept_ + "... (" + std::to_string(total_ - cut) + " bytes not shown)";
    }

  private:
    std::string kept_;
    std::size_t total_ = 0;
};

std::string compact(const platform::Json& value) {
    return value.dump(-1, ' ', false, platform::Json::error_handler_t::replace);
}

// What value.dump(2) prints, written to `out`: indentation is counted, never
// built past the limit, so a deeply nested value costs in time and memory
// what its compact form does however wide its indentation grows.
void printIndented(const platform::Json& value, std::size_t indent, BoundedText& out) {
    const bool object = value.is_object();
    if ((!object && !value.is_array()) || value.empty()) {
        out.append(compact(value));
        return;
    }
    out.append(object ? "{\n" : "[\n");
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first)
            out.append(",\n");
        first = false;
        out.appendSpaces(indent + 2);
        if (object) {
            out.append(compact(platform::Json(it.key())));
            out.append(": ");
        }
        printIndented(*it, indent + 2, out);
    }
    out.append("\n");
    out.appendSpaces(indent);
    out.append(object ? "}" : "]");
}

void writeEntry(const std::string& rendered, bool isError) {
    const std::string folder = platform::SystemRoot::resolve(Keelbase::Paths::kLogsFolder);
    (void)platform::createDirectories(folder);  // a failure shows up as a failed append below
    const std::string line = platform::formatTime(std::chrono::system_clock::now(),
                                                  platform::TimeFormat::isoUtcSeconds) +
                             ": " + (isError ? "\u274C" : "\u2705") + " - " + rendered + "\n";
    if (auto appended = platform::appendToFile(diagnosticLogPath(), line); appended.failed()) {
        std::cout << "\u274C Failed to write file: " << appended.error() << std::endl;
    }
}

}  // namespace

std::string diagnosticLogPath() {
    return platform::SystemRoot::resolve(std::string(Keelbase::Paths::kLogsFolder) +
                                         "/diagnostic-" + startFormatted + ".log");
}

std::string printedEntry(const std::string& message) {
    if (message.size() <= kDiagnosticEntryLimit)
        return message;
    BoundedText text;
    text.append(message);
    return std::move(text).finish();
}

std::string printedEntry(const platform::Json& message) {
    if (message.is_string())
        return printedEntry(message.get_ref<const std::string&>());
    BoundedText text;
    printIndented(message, 0, text);
    return std::move(text).finish();
}

void log(const std::string& message, bool isError) {
    if (!ENABLE_DIAGNOSTIC_LOGS.load())
        return;
    writeEntry(printedEntry(message), isError);
}

void log(const char* message, bool isError) {
    log(std::string(message), isError);
}

void log(const platform::Json& message, bool isError) {
    if (!ENABLE_DIAGNOSTIC_LOGS.load())
        return;
    writeEntry(printedEntry(message), isError);
}

}  // namespace QVAgentLaunchDaemon
