#include "platform/plist.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/files.h"

namespace platform {
namespace {

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// libplist 2.2 has one integer node type, PLIST_UINT, holding 64 bits; it
// writes them as signed unless the value came from a number above INT64_MAX.
// Storing the two's complement of a negative number is therefore how it keeps
// signed integers, in XML and binary alike.
plist_t toNode(const PlistValue& value) {
    return std::visit(
        [](const auto& v) -> plist_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return plist_new_string(v.c_str());
            } else if constexpr (std::is_same_v<T, bool>) {
                return plist_new_bool(v ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return plist_new_uint(static_cast<std::uint64_t>(v));
            } else if constexpr (std::is_same_v<T, double>) {
                return plist_new_real(v);
            } else if constexpr (std::is_same_v<T, PlistArray>) {
                plist_t array = plist_new_array();
                for (const auto& item : v)
                    plist_array_append_item(array, toNode(item));
                return array;
            } else {
                plist_t dict = plist_new_dict();
                for (const auto& [key, item] : v)
                    plist_dict_set_item(dict, key.c_str(), toNode(item));
                return dict;
            }
        },
        value.value);
}

// Dates, data and UIDs have no place in PlistValue; a tree holding one is
// reported as unreadable rather than silently changed.
std::optional<PlistValue> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (text == nullptr)
                return std::nullopt;
            return PlistValue(std::string(text, static_cast<std::size_t>(length)));
        }
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return PlistValue(b != 0);
        }
        case PLIST_UINT: {
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return PlistValue(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return PlistValue(d);
        }
        case PLIST_ARRAY: {
            PlistArray array;
            const std::uint32_t count = plist_array_get_size(node);
            array.reserve(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                auto item = fromNode(plist_array_get_item(node, i));
                if (!item)
                    return std::nullopt;
                array.push_back(std::move(*item));
            }
            return PlistValue(std::move(array));
        }
        case PLIST_DICT: {
            PlistDict dict;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            if (iter == nullptr)
                return std::optional<PlistValue>(std::in_place, std::move(dict));
            std::optional<PlistValue> result;
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &key, &item);
                if (key == nullptr || item == nullptr) {
                    std::free(key);
                    result = PlistValue(std::move(dict));
                    break;
                }
                std::string name(key);
                std::free(key);
                auto converted = fromNode(item);
                if (!converted)
                    break;
                dict.insert_or_assign(std::move(name), std::move(*converted));
            }
            std::free(iter);
            return result;
        }
        default:
            return std::nullopt;
    }
}

std::string xmlOf(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (xml == nullptr)
        return {};
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

}  // namespace

std::string plistToXml(const PlistValue& root) {
    Node node(toNode(root));
    return xmlOf(node.get());
}

std::optional<PlistValue> plistFromBytes(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    const auto size = static_cast<std::uint32_t>(bytes.size());
    plist_t parsed = nullptr;
    plist_from_memory(bytes.data(), size, &parsed);
    if (parsed == nullptr)
        return std::nullopt;
    Node node(parsed);
    if (plist_is_binary(bytes.data(), size)) {
        // libplist aborts the whole process when it hands out a dictionary key
        // holding a NUL character, which only the binary format can carry. So
        // a binary list is read through its XML form, and one holding a NUL
        // anywhere (which XML cannot carry back) is refused as damaged.
        const std::string xml = xmlOf(node.get());
        if (xml.empty() || xml.find('\0') != std::string::npos)
            return std::nullopt;
        return plistFromBytes(xml);
    }
    return fromNode(node.get());
}

Status writePlistFile(const std::string& path, const PlistValue& root, unsigned mode) {
    return writeFileAtomically(path, plistToXml(root), mode);
}

}  // namespace platform
