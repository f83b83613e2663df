#include "daemon/watchers/config_watcher.h"

#include <string_view>
#include <utility>

#include "daemon/core/app_core.h"
#include "daemon/core/diagnostic_log.h"
#include "daemon/core/globals.h"
#include "daemon/core/paths.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system_root.h"
#include "platform/text.h"

namespace QVAgentLaunchDaemon {

std::shared_ptr<ConfigWatcher> debugConfigFileWatcher;

namespace {

constexpr const char* kDebugConfigFile = kDebugConfigurationFile;  // daemon/core/paths.h

// Length of the space separator (tab or Unicode Zs) that starts `text`, 0 when none.
std::size_t spaceAtStart(std::string_view text) {
    // clang-format off
    static constexpr std::string_view kSpaces[] = {
        " ",            "\t",           "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
        "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
        "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
        "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    // clang-format on
    for (auto space : kSpaces)
        if (text.starts_with(space))
            return space.size();
    return 0;
}

std::size_t spaceAtEnd(std::string_view text) {
    for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length)
        if (spaceAtStart(text.substr(text.size() - length)) == length)
            return length;
    return 0;
}

std::string_view trimSpaces(std::string_view text) {
    while (std::size_t n = spaceAtStart(text))
        text.remove_prefix(n);
    while (std::size_t n = spaceAtEnd(text))
        text.remove_suffix(n);
    return text;
}

void parseLine(std::string_view line, ConfigMapping& mapping) {
    line = trimSpaces(line);
    if (line.empty() || line.front() == '#')
        return;
    const auto keyStart = line.find_first_not_of('=');
    if (keyStart == std::string_view::npos)
        return;
    line.remove_prefix(keyStart);
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || equals + 1 == line.size())
        return;
    mapping[std::string(trimSpaces(line.substr(0, equals)))] =
        std::string(trimSpaces(line.substr(equals + 1)));
}

}  // namespace

ConfigMapping parseConfigText(const std::string& text) {
    ConfigMapping mapping;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        // A CR LF pair is one character of text, never a line separator.
        const bool separator =
            i == text.size() || (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'));
        if (!separator)
            continue;
        parseLine(std::string_view(text).substr(lineStart, i - lineStart), mapping);
        lineStart = i + 1;
    }
    return mapping;
}

std::string describeConfig(const ConfigMapping& mapping) {
    if (mapping.empty())
        return "[:]";
    std::string text = "[";
    for (const auto& [key, value] : mapping) {
        if (text.size() > 1)
            text += ", ";
        text += "\"" + key + "\": \"" + value + "\"";
    }
    return text + "]";
}

void applyDiagnosticsSwitch(const ConfigMapping& mapping) {
    // The flag is set before its line is written, so the line appears only
    // when diagnostics are (now) on.
    if (auto found = mapping.find("ENABLE_DIAGNOSTIC_LOGS"); found != mapping.end()) {
        ENABLE_DIAGNOSTIC_LOGS = found->second == "true";
        log("\xF0\x9F\x86\x94 ENABLE_DIAGNOSTIC_LOGS = " + found->second);
    } else {
        ENABLE_DIAGNOSTIC_LOGS = false;
        log("\xE2\x9A\xA0\xEF\xB8\x8F ENABLE_DIAGNOSTIC_LOGS not found in config");
    }
}

ConfigWatcher::ConfigWatcher(std::string path) : PathWatcher(std::move(path), "debug") {}

std::shared_ptr<ConfigWatcher> ConfigWatcher::create(std::string path) {
    std::shared_ptr<ConfigWatcher> watcher(new ConfigWatcher(std::move(path)));
    // Set-up runs on the watcher's queue, so it never overlaps an event that
    // arrives while it is still going on.
    watcher->onQueue([&] {
        watcher->setupWatcher();
        watcher->parseConfig();
    });
    return watcher;
}

ConfigMapping ConfigWatcher::config() const {
    platform::MutexLock lock(mutex_);
    return config_;
}

void ConfigWatcher::setConfig(ConfigMapping mapping) {
    platform::MutexLock lock(mutex_);
    config_ = std::move(mapping);
}

void ConfigWatcher::setOnChange(OnChange onChange) {
    platform::MutexLock lock(mutex_);
    onChange_ = std::move(onChange);
}

void ConfigWatcher::watchOpened() {
    log("Watching file at " + path());
    parseConfig();
}

void ConfigWatcher::handleEvents(unsigned events) {
    if (events & (platform::FileSystemEvent::remove | platform::FileSystemEvent::rename)) {
        log("\xE2\x9A\xA0\xEF\xB8\x8F File deleted or moved, restarting watcher...");
        OnChange onChange;
        {
            platform::MutexLock lock(mutex_);
            onChange = onChange_;
        }
        if (onChange)
            onChange({});
        setupWatcher();
    } else if (events & platform::FileSystemEvent::write) {
        log("\xF0\x9F\x94\x84 File changed, reloading config...");
        parseConfig();
    }
}

void ConfigWatcher::parseConfig() {
    auto text = platform::readFile(platform::SystemRoot::resolve(path()));
    if (text.failed() || !platform::isValidUtf8(*text)) {
        App::Core::Logging::WriteError("Could not read config file. Watching for changes...");
        return;
    }
    auto mapping = parseConfigText(*text);
    log("Parsed config: " + describeConfig(mapping));
    OnChange onChange;
    {
        platform::MutexLock lock(mutex_);
        config_ = mapping;
        onChange = onChange_;
    }
    if (onChange)
        onChange(mapping);
}

void createDiagnosticsWatcher() {
    if (!debugConfigFileWatcher)
        debugConfigFileWatcher = ConfigWatcher::create(kDebugConfigFile);
}

}  // namespace QVAgentLaunchDaemon
