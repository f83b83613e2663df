#include "platform/url.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include "platform/curl_global.h"

namespace platform {

std::string percentEncodePathSegment(const std::string& text) {
    static constexpr std::string_view kKept =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        "-._~!$&'()*+,;=:@";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (kKept.find(c) != std::string_view::npos) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

namespace {

// "scheme://host:port" with the scheme's default port filled in, or absent.
std::optional<std::string> originOf(const std::string& url) {
    ensureCurlGlobalInit();
    CURLU* handle = curl_url();
    if (handle == nullptr)
        return std::nullopt;
    std::optional<std::string> result;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        std::string lowerHost = host;
        std::transform(lowerHost.begin(), lowerHost.end(), lowerHost.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        result = std::string(scheme) + "://" + lowerHost + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(handle);
    return result;
}

}  // namespace

bool sameOrigin(const std::string& a, const std::string& b) {
    const auto first = originOf(a);
    return first && first == originOf(b);
}

bool isValidUrl(const std::string& url) {
    // Only characters a URL can hold (RFC 3986): no spaces, controls, non-ASCII,
    // or characters such as "<>\"{}|\\^`"; "%" must start an escape.
    static constexpr std::string_view kAllowed =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
        "-._~:/?#[]@!$&'()*+,;=%";
    auto isHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    int hashes = 0;
    for (std::size_t i = 0; i < url.size(); ++i) {
        char c = url[i];
        if (kAllowed.find(c) == std::string_view::npos)
            return false;
        if (c == '%' && (i + 2 >= url.size() || !isHex(url[i + 1]) || !isHex(url[i + 2]))) {
            return false;
        }
        if (c == '#' && ++hashes > 1)
            return false;
    }

    // libcurl reads "https:///path" as host "path"; the authority is empty there.
    auto authority = url.find("://");
    if (authority != std::string::npos && url.compare(authority + 3, 1, "/") == 0)
        return false;

    ensureCurlGlobalInit();
    CURLU* handle = curl_url();
    if (handle == nullptr)
        return false;
    bool valid = false;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        if (curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
            valid = scheme != nullptr && scheme[0] != '\0' && host != nullptr && host[0] != '\0';
        }
        curl_free(scheme);
        curl_free(host);
    }
    curl_url_cleanup(handle);
    return valid;
}

bool isPlainHttpUrl(const std::string& url) {
    constexpr std::string_view kPlainHttp = "http://";
    return url.size() >= kPlainHttp.size() &&
           std::equal(kPlainHttp.begin(), kPlainHttp.end(), url.begin(), [](char x, char y) {
               return x == ((y >= 'A' && y <= 'Z') ? char(y - 'A' + 'a') : y);
           });
}

}  // namespace platform
