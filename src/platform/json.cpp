#include "platform/json.h"

#include <cmath>
#include <limits>

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

std::string describeType(const Json& value) {
    return value.is_null() ? "null" : value.type_name();
}

}  // namespace

Result<Json> parseJson(const std::string& text) {
    if (nestsDeeperThan(text, kMaxJsonDepth)) {
        return Result<Json>::failure("[json.exception.parse_error] nesting deeper than " +
                                     std::to_string(kMaxJsonDepth) + " levels");
    }
    try {
        return Json::parse(text);
    } catch (const Json::exception& e) {
        return Result<Json>::failure(e.what());
    }
}

JsonDecoder JsonDecoder::root(const Json& document) {
    if (!document.is_object()) {
        throw Error{"Expected to decode a dictionary at the top level but found " +
                    describeType(document)};
    }
    return JsonDecoder(document, "");
}

std::string JsonDecoder::pathOf(const std::string& key) const {
    return path_.empty() ? key : path_ + "." + key;
}

JsonDecoder::Error JsonDecoder::mismatch(const std::string& key, const char* expected,
                                         const Json& found) const {
    return Error{"Expected to decode " + std::string(expected) + " for key \"" + pathOf(key) +
                 "\" but found " + describeType(found)};
}

const Json& JsonDecoder::required(const std::string& key) const {
    auto it = object_.find(key);
    if (it == object_.end())
        throw Error{"No value associated with key \"" + pathOf(key) + "\""};
    if (it->is_null())
        throw Error{"Expected a value for key \"" + pathOf(key) + "\" but found null"};
    return *it;
}

JsonDecoder JsonDecoder::object(const std::string& key) const {
    const Json& value = required(key);
    if (!value.is_object())
        throw mismatch(key, "a dictionary", value);
    return JsonDecoder(value, pathOf(key));
}

std::string JsonDecoder::string(const std::string& key) const {
    const Json& value = required(key);
    if (!value.is_string())
        throw mismatch(key, "a string", value);
    return value.get<std::string>();
}

std::optional<std::string> JsonDecoder::optionalString(const std::string& key) const {
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null())
        return std::nullopt;
    if (!it->is_string())
        throw mismatch(key, "a string", *it);
    return it->get<std::string>();
}

std::int64_t JsonDecoder::integer(const std::string& key) const {
    const Json& value = required(key);
    const auto notFitting = [&] {
        return Error{"Parsed JSON number <" + value.dump() + "> for key \"" + pathOf(key) +
                     "\" does not fit in a signed 64-bit integer"};
    };
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(number);
        throw notFitting();
    }
    if (value.is_number_float()) {
        // A whole number written with a fraction or exponent (270.0, 1e3)
        // is still an integer; anything else is not.
        const double number = value.get<double>();
        if (std::trunc(number) != number)
            throw notFitting();
        if (number < -9223372036854775808.0 || number >= 9223372036854775808.0)
            throw notFitting();
        return static_cast<std::int64_t>(number);
    }
    throw mismatch(key, "an integer", value);
}

std::vector<JsonDecoder> JsonDecoder::arrayOfObjects(const std::string& key) const {
    const Json& value = required(key);
    if (!value.is_array())
        throw mismatch(key, "an array", value);
    std::vector<JsonDecoder> elements;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string elementPath = pathOf(key) + "[" + std::to_string(i) + "]";
        if (!value[i].is_object()) {
            throw Error{"Expected to decode a dictionary at \"" + elementPath + "\" but found " +
                        describeType(value[i])};
        }
        elements.push_back(JsonDecoder(value[i], elementPath));
    }
    return elements;
}

}  // namespace platform
