#pragma once
// JSON values for wire bodies and decoding (nlohmann::json, ordered keys).

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace platform {

using Json = nlohmann::ordered_json;

// Parses any JSON text, a bare value at top level included. On failure the
// parse error's description goes to `error` (when given) and the result is absent.
std::optional<Json> parseJson(const std::string& text, std::string* error = nullptr);

}  // namespace platform
