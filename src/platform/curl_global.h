#pragma once
// libcurl's process-wide state, set up once before the first use of libcurl
// by any part of platform (sessions and URL parsing alike).

#include <curl/curl.h>

#include <mutex>

namespace platform {

inline void ensureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace platform
