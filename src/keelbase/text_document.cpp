#include "keelbase/text_document.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "keelbase/paths.h"
#include "platform/files.h"
#include "platform/system_root.h"
#include "platform/time.h"

namespace Keelbase::Adapters::Logging {

namespace {

// The message with every character that could end or rewrite a line escaped:
// LF, CR and TAB as \n, \r, \t; the other C0 controls, DEL and the C1 controls
// (NEL among them) as \u00xx; LINE and PARAGRAPH SEPARATOR as \u2028 and
// \u2029. A backslash stays as it is, so text that already holds "\n" reads
// as before; bytes that are not UTF-8 pass unchanged.
std::string oneLine(const std::string& message) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line;
    line.reserve(message.size());
    auto escape = [&](const char* prefix, unsigned char low) {
        line += prefix;
        line += kHex[low >> 4];
        line += kHex[low & 15];
    };
    for (std::size_t at = 0; at < message.size(); ++at) {
        const auto byte = static_cast<unsigned char>(message[at]);
        const auto next = [&](std::size_t ahead) {
            return at + ahead < message.size() ? static_cast<unsigned char>(message[at + ahead])
                                               : 0;
        };
        if (byte == '\n') {
            line += "\\n";
        } else if (byte == '\r') {
            line += "\\r";
        } else if (byte == '\t') {
            line += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            escape("\\u00", byte);
        } else if (byte == 0xc2 && next(1) >= 0x80 && next(1) <= 0x9f) {
            escape("\\u00", next(1));  // a C1 control, NEL (U+0085) among them
            at += 1;
        } else if (byte == 0xe2 && next(1) == 0x80 && (next(2) == 0xa8 || next(2) == 0xa9)) {
            // LINE SEPARATOR, PARAGRAPH SEPARATOR
            escape("\\u20", static_cast<unsigned char>(next(2) - 0x80));
            at += 2;
        } else {
            line += static_cast<char>(byte);
        }
    }
    return line;
}

}  // namespace

struct TextDocument::Impl {
    std::string logName;
    std::shared_ptr<spdlog::logger> logger;
    std::mutex mutex;
};

TextDocument::TextDocument(std::string logName) : impl_(std::make_unique<Impl>()) {
    impl_->logName = std::move(logName);
}

TextDocument::~TextDocument() {
    if (impl_->logger)
        impl_->logger->flush();
}

void TextDocument::Start(const std::string& /*formattedStartTime*/,
                         std::function<bool()> /*getIsDiagnosticLoggingEnabled*/) {}

void TextDocument::WriteLine(const std::string& message) {
    write("INFO", message);
}
void TextDocument::WriteError(const std::string& message) {
    write("ERROR", message);
}
void TextDocument::WriteTitleLine(const std::string& message) {
    write("TITLE", message);
}

std::string TextDocument::formatEntry(const std::string& level, const std::string& message) {
    return platform::formatTime(std::chrono::system_clock::now(),
                                platform::TimeFormat::isoUtcMilliseconds) +
           " " + level + " " + oneLine(message);
}

void TextDocument::write(const char* level, const std::string& message) {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->logger) {
            std::vector<spdlog::sink_ptr> sinks;
            sinks.push_back(std::make_shared<spdlog::sinks::stdout_sink_mt>());
            const std::string folder = platform::SystemRoot::resolve(Paths::kLogsFolder);
            // Straight to stderr, as below: the failure reporter writes to this very log.
            if (auto created = platform::createDirectories(folder); created.failed()) {
                std::fprintf(stderr, "Text log file unavailable: %s\n", created.error().c_str());
            } else {
                try {
                    sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                        folder + "/" + impl_->logName + ".log", 10u * 1024u * 1024u, 5));
                } catch (const spdlog::spdlog_ex& e) {
                    std::fprintf(stderr, "Text log file unavailable: %s\n", e.what());
                }
            }
            impl_->logger =
                std::make_shared<spdlog::logger>(impl_->logName, sinks.begin(), sinks.end());
            impl_->logger->set_pattern("%v");
            impl_->logger->set_level(spdlog::level::info);
            impl_->logger->flush_on(spdlog::level::info);
        }
    }
    impl_->logger->info(formatEntry(level, message));
}

}  // namespace Keelbase::Adapters::Logging
