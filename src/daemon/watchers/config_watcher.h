#pragma once
// The diagnostics switch: a watcher on a small key=value file, by default
// /Library/Application Support/Tessaly/Quorvel/debug.conf. Every write
// re-parses the file and hands the mapping to onChange; a delete or rename
// hands it an empty mapping and watches the path afresh (or, while nothing
// is there, silently waits for the file to appear in its folder).

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "daemon/watchers/path_watcher.h"
#include "platform/mutex.h"

namespace QVAgentLaunchDaemon {

using ConfigMapping = std::map<std::string, std::string>;

// The file's format: lines split at line feeds only (CR LF stays inside a
// line), trimmed of spaces and tabs; empty lines and lines starting with "#"
// skipped; "key=value" split at the first "=" after any leading "=", counted
// only when both sides are non-empty; the last repeated key wins.
ConfigMapping parseConfigText(const std::string& text);

// "[\"k\": \"v\", ...]", or "[:]" for an empty mapping.
std::string describeConfig(const ConfigMapping& mapping);

// The default onChange: ENABLE_DIAGNOSTIC_LOGS follows the key's value "true".
void applyDiagnosticsSwitch(const ConfigMapping& mapping);

class ConfigWatcher : public PathWatcher {
  public:
    using OnChange = std::function<void(const ConfigMapping&)>;

    // Starts watching at once and parses the file (a present file is parsed
    // twice: once by the watch set-up, once here). The caller owns the
    // watcher (see PathWatcher).
    static std::shared_ptr<ConfigWatcher> create(std::string path);

    ConfigMapping config() const;
    void setConfig(ConfigMapping mapping);
    void setOnChange(OnChange onChange);

  private:
    explicit ConfigWatcher(std::string path);
    void watchOpened() override;
    void handleEvents(unsigned events) override;
    void parseConfig();

    mutable platform::Mutex mutex_;  // config_ and onChange_, which callers may use from outside
    ConfigMapping config_ QV_GUARDED_BY(mutex_);
    OnChange onChange_ QV_GUARDED_BY(mutex_) = applyDiagnosticsSwitch;
};

// The process-wide watcher on debug.conf, created by the start-up sequence.
extern std::shared_ptr<ConfigWatcher> debugConfigFileWatcher;

// Creates debugConfigFileWatcher once.
void createDiagnosticsWatcher();

}  // namespace QVAgentLaunchDaemon
