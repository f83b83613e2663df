#pragma once
// Preferences domains, stored the way a root daemon's "any user, any host"
// domain is: the XML property list <root>/Library/Preferences/<domain>.plist,
// whose top level is a dictionary. Writes are atomic (temporary file in the
// same folder, fsync, rename) and serialised, so concurrent writers from
// several threads lose nothing.

#include <cstdint>
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

// A key's value, or absent; `unavailable` when the domain's file exists but
// cannot be read now (nothing is cached yet): distinct from an absent key.
struct PreferenceLookup {
    std::optional<PreferenceValue> value;
    bool unavailable = false;
};

class Preferences {
  public:
    // The value of `key` in `domain`. A file that cannot be read now is a
    // passing fault: it is left as it is, the cached domain (if any) serves,
    // and the next access reads it again. Only a file that was read whole and
    // does not parse is moved aside (".corrupt") and the domain started empty.
    [[nodiscard]] static PreferenceLookup lookUp(const std::string& key, const std::string& domain);
    // The value of `key` in `domain`, or absent (also when unavailable).
    [[nodiscard]] static std::optional<PreferenceValue> copyValue(const std::string& key,
                                                                  const std::string& domain);
    [[nodiscard]] static std::optional<std::string> copyString(const std::string& key,
                                                               const std::string& domain);

    // Sets (or with an absent value removes) the key; written through to disk.
    // The change is applied to the file as it is on disk, so keys another
    // program wrote meanwhile are kept. A failed write is reported, stays
    // cached and is retried by the next setValue or synchronize. A file that
    // cannot be read now refuses the change (reported). True once the change
    // is on disk; a caller that needs no more than the report says so with (void).
    [[nodiscard]] static bool setValue(const std::string& key, std::optional<std::string> value,
                                       const std::string& domain);

    // Flushes and re-reads the domain; false when it cannot be written.
    [[nodiscard]] static bool synchronize(const std::string& domain);

    // Path of the domain's file under the system root.
    static std::string pathForDomain(const std::string& domain);

    // Forgets every cached domain, as a new process would start. Tests only.
    static void resetCacheForTesting();
};

}  // namespace platform
