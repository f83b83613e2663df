#include "platform/trust_store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/curl_global.h"

namespace platform {

namespace {

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return buffer.str();
}

// libcurl's CAINFO_BLOB replaces its default CA file, so the system bundle is
// put in front of the extra one to keep the system store trusted.
std::string systemCaBundlePath() {
    ensureCurlGlobalInit();
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info != nullptr && info->age >= CURLVERSION_SEVENTH && info->cainfo != nullptr &&
        info->cainfo[0] != '\0') {
        return info->cainfo;
    }
    return "/etc/ssl/certs/ca-certificates.crt";
}

}  // namespace

TrustStore loadTrustStore(const std::optional<std::string>& caFile) {
    TrustStore store;
    if (!caFile || caFile->empty())
        return store;
    auto extra = readWholeFile(*caFile);
    if (!extra) {
        store.error = "the extra CA bundle " + *caFile + " cannot be read: " + std::strerror(errno);
        return store;
    }
    store.bundle = readWholeFile(systemCaBundlePath()).value_or(std::string());
    if (!store.bundle.empty() && store.bundle.back() != '\n')
        store.bundle += '\n';
    store.bundle += *extra;
    if (!store.bundle.empty() && store.bundle.back() != '\n')
        store.bundle += '\n';
    return store;
}

std::optional<std::string> caFileFromEnvironment() {
    const char* ca = std::getenv("QV_CA_FILE");
    if (ca == nullptr || ca[0] == '\0')
        return std::nullopt;
    return std::string(ca);
}

}  // namespace platform
