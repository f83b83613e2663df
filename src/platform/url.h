#pragma once
// URL checks shared by the session and its callers: validation, path-segment
// encoding and origin comparison, all by libcurl's URL parser.

#include <string>

namespace platform {

// True when `url` parses as an absolute URL with a scheme and a host.
bool isValidUrl(const std::string& url);

// `text` as one URL path segment: every byte but the unreserved characters and
// sub-delimiters of RFC 3986 (and ':' and '@') percent-encoded, so an ordinary
// identifier comes out unchanged.
std::string percentEncodePathSegment(const std::string& text);

// True when both URLs have the same scheme, host and port (default ports filled in).
bool sameOrigin(const std::string& a, const std::string& b);

// True when `url` plainly starts with "http://" (in any case): the one kind of
// URL whose redirects may go to plain http.
bool isPlainHttpUrl(const std::string& url);

}  // namespace platform
