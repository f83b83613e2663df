#include "platform/json.h"

namespace platform {

std::optional<Json> parseJson(const std::string& text, std::string* error) {
    try {
        return Json::parse(text);
    } catch (const Json::exception& e) {
        if (error != nullptr)
            *error = e.what();
        return std::nullopt;
    }
}

}  // namespace platform
