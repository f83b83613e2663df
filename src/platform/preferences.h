#pragma once
// Preferences domains, stored the way a root daemon's "any user, any host"
// domain is: the XML property list <root>/Library/Preferences/<domain>.plist,
// whose top level is a dictionary. Writes are atomic (temporary file in the
// same folder, fsync, rename) and serialised, so concurrent writers from
// several threads lose nothing.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace platform {

// A stored value. Values of types the daemon does not write are kept as
// Other, so they stay readable as "not a string".
struct PreferenceValue {
    struct Other {};
    std::variant<std::string, std::int64_t, bool, double, Other> value;

    std::optional<std::string> asString() const;
};

class Preferences {
  public:
    // Receives one error line, e.g. when a corrupt file was moved aside. It is
    // called with no lock held. An empty reporter restores the default, which
    // writes the line to stderr.
    using ErrorReporter = std::function<void(const std::string&)>;
    static void setErrorReporter(ErrorReporter reporter);

    // The value of `key` in `domain`, or absent.
    static std::optional<PreferenceValue> copyValue(const std::string& key,
                                                    const std::string& domain);
    static std::optional<std::string> copyString(const std::string& key, const std::string& domain);

    // Sets (or with an absent value removes) the key; written through to disk.
    // The change is applied to the file as it is on disk, so keys another
    // program wrote meanwhile are kept. A failed write is reported, stays
    // cached and is retried by the next setValue or synchronize.
    static void setValue(const std::string& key, std::optional<std::string> value,
                         const std::string& domain);

    // Flushes and re-reads the domain; false when it cannot be written.
    static bool synchronize(const std::string& domain);

    // Path of the domain's file under the system root.
    static std::string pathForDomain(const std::string& domain);

    // Forgets every cached domain, as a new process would start. Tests only.
    static void resetCacheForTesting();
};

}  // namespace platform
