#pragma once
// Small text helpers shared by the platform and the daemon.

#include <string>
#include <string_view>

namespace platform {

// Trims leading and trailing white space and line breaks (inner ones stay).
std::string trimWhitespace(const std::string& text);

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(const std::string& bytes);

// Equal when ASCII letters are compared case-blind (header names, URL schemes);
// other bytes must match exactly, whatever the locale.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace platform
