#pragma once
// JSON values for wire bodies, and the one strict decoder of the records the
// daemon reads from its servers (nlohmann::json, ordered keys).

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace platform {

using Json = nlohmann::ordered_json;

// Deepest nesting of arrays and objects accepted, as the platform's own JSON
// reader: deeper text is refused before anything is built, so a hostile answer
// can neither exhaust the stack nor make printing it recurse without end.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Parses any JSON text, a bare value at top level included; on failure (text
// nested deeper than kMaxJsonDepth included) the parse error's description.
Result<Json> parseJson(const std::string& text);

// One object level of a document being decoded, with the key path that led
// to it. Unknown members are ignored; a missing or null required member, a
// wrong type, or an integer that is not a whole number within the signed
// 64-bit range throws JsonDecoder::Error naming the key path and the reason,
// which decodeJson turns into the failed result.
class JsonDecoder {
  public:
    struct Error {
        std::string message;
    };

    // The document's top level, which must be an object.
    static JsonDecoder root(const Json& document);

    const Json& required(const std::string& key) const;
    JsonDecoder object(const std::string& key) const;
    std::string string(const std::string& key) const;
    std::optional<std::string> optionalString(
        const std::string& key) const;  // absent or null: none
    std::int64_t integer(const std::string& key) const;
    std::vector<JsonDecoder> arrayOfObjects(const std::string& key) const;

  private:
    JsonDecoder(const Json& object, std::string path) : object_(object), path_(std::move(path)) {}
    std::string pathOf(const std::string& key) const;
    Error mismatch(const std::string& key, const char* expected, const Json& found) const;

    const Json& object_;
    std::string path_;
};

// Parses `text` and decodes its top-level object with `decode` (a callable
// taking a JsonDecoder and returning the record): the record, or the parse or
// decoding error's description.
template <typename Decode>
auto decodeJson(const std::string& text, Decode&& decode)
    -> Result<decltype(decode(std::declval<const JsonDecoder&>()))> {
    using Record = decltype(decode(std::declval<const JsonDecoder&>()));
    auto document = parseJson(text);
    if (document.failed())
        return Result<Record>::failure(document.error());
    try {
        return decode(JsonDecoder::root(*document));
    } catch (const JsonDecoder::Error& failure) {
        return Result<Record>::failure(failure.message);
    }
}

}  // namespace platform
