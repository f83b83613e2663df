#pragma once
// JSON values for wire bodies and decoding (nlohmann::json, ordered keys).

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace platform {

using Json = nlohmann::ordered_json;

// Deepest nesting of arrays and objects accepted, as the platform's own JSON
// reader: deeper text is refused before anything is built, so a hostile answer
// can neither exhaust the stack nor make printing it recurse without end.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Parses any JSON text, a bare value at top level included. On failure (text
// nested deeper than kMaxJsonDepth included) the parse error's description
// goes to `error` (when given) and the result is absent.
std::optional<Json> parseJson(const std::string& text, std::string* error = nullptr);

}  // namespace platform
