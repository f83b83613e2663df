#pragma once
// Property lists the daemon writes for other programs (launch agents,
// application settings): a small value tree serialised as XML.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/result.h"

namespace platform {

struct PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDict = std::map<std::string, PlistValue>;  // keys sorted, as macOS writes them

struct PlistValue {
    std::variant<std::string, bool, std::int64_t, double, PlistArray, PlistDict> value;

    PlistValue(std::string s) : value(std::move(s)) {}
    PlistValue(const char* s) : value(std::string(s)) {}
    PlistValue(bool b) : value(b) {}
    PlistValue(std::int64_t i) : value(i) {}
    PlistValue(int i) : value(static_cast<std::int64_t>(i)) {}
    PlistValue(double d) : value(d) {}
    PlistValue(PlistArray a) : value(std::move(a)) {}
    PlistValue(PlistDict d) : value(std::move(d)) {}
};

// XML text of the value (with the XML declaration and DOCTYPE).
std::string plistToXml(const PlistValue& root);

// Parses XML or binary property-list bytes; absent when they are not one, or
// when they hold a type PlistValue cannot represent (date, data, UID).
[[nodiscard]] std::optional<PlistValue> plistFromBytes(const std::string& bytes);

// Writes the XML atomically with the given mode.
Status writePlistFile(const std::string& path, const PlistValue& root, unsigned mode = 0644);

}  // namespace platform
