#include "platform/json.h"

namespace platform {
namespace {

// The first nesting level beyond `limit`, found without building anything:
// true when arrays and objects nest deeper than `limit`.
bool nestsDeeperThan(const std::string& text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace

std::optional<Json> parseJson(const std::string& text, std::string* error) {
    if (nestsDeeperThan(text, kMaxJsonDepth)) {
        if (error != nullptr)
            *error = "[json.exception.parse_error] nesting deeper than " +
                     std::to_string(kMaxJsonDepth) + " levels";
        return std::nullopt;
    }
    try {
        return Json::parse(text);
    } catch (const Json::exception& e) {
        if (error != nullptr)
            *error = e.what();
        return std::nullopt;
    }
}

}  // namespace platform
