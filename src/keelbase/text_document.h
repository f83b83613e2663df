#pragma once
// The text log. Every entry goes to stdout and to
// <root>/Library/Application Support/Tessaly/Quorvel/logs/<logName>.log
// (rotated at 10 MiB, five files kept), one line each:
//   <UTC time, ISO 8601 with milliseconds and Z> <LEVEL> <message>
// with LEVEL one of INFO, ERROR, TITLE. One call is one line, whatever the
// message holds: a server's string cannot start a line of its own.

#include <functional>
#include <memory>
#include <string>

namespace Keelbase::Adapters::Logging {

class TextDocument {
  public:
    explicit TextDocument(std::string logName);
    ~TextDocument();
    TextDocument(const TextDocument&) = delete;
    TextDocument& operator=(const TextDocument&) = delete;

    // Part of the start-up sequence; records nothing: the log opens with its
    // first entry, whenever that comes, and the diagnostics switch is the
    // diagnostic log's own.
    void Start(const std::string& formattedStartTime,
               std::function<bool()> getIsDiagnosticLoggingEnabled);
    void WriteLine(const std::string& message);
    void WriteError(const std::string& message);
    void WriteTitleLine(const std::string& message);

    // "2026-12-06T20:51:00.123Z INFO message": the entry as written. Line
    // breaks, controls and separators in the message are written as escapes
    // (\n, \r, \t, \u001b, \u0085, \u2028, ...); a backslash stays as it is.
    static std::string formatEntry(const std::string& level, const std::string& message);

  private:
    void write(const char* level, const std::string& message);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Keelbase::Adapters::Logging
