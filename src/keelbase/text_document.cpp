#include "keelbase/text_document.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "keelbase/paths.h"
#include "platform/files.h"
#include "platform/system_root.h"

namespace Keelbase::Adapters::Logging {

struct TextDocument::Impl {
    std::string logName;
    std::shared_ptr<spdlog::logger> logger;
    std::mutex mutex;
    std::string formattedStartTime;
    std::function<bool()> diagnosticsEnabled;
};

TextDocument::TextDocument(std::string logName) : impl_(std::make_unique<Impl>()) {
    impl_->logName = std::move(logName);
}

TextDocument::~TextDocument() {
    if (impl_->logger)
        impl_->logger->flush();
}

void TextDocument::Start(const std::string& formattedStartTime,
                         std::function<bool()> getIsDiagnosticLoggingEnabled) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->formattedStartTime = formattedStartTime;
        impl_->diagnosticsEnabled = std::move(getIsDiagnosticLoggingEnabled);
    }
}

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
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return std::string(stamp) + " " + level + " " + message;
}

void TextDocument::write(const char* level, const std::string& message) {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->logger) {
            std::vector<spdlog::sink_ptr> sinks;
            sinks.push_back(std::make_shared<spdlog::sinks::stdout_sink_mt>());
            const std::string folder = platform::SystemRoot::resolve(Paths::kLogsFolder);
            if (!platform::createDirectories(folder)) {
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
