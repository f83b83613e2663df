#pragma once
// The framework's constants: product metadata and the API base URLs.

#include <string>

namespace Keelbase::Constants {

struct Metadata {
    Metadata();
    std::string bundleId;  // also the preferences domain
    std::string version;   // the running agent's version, sent as "x-client-version"
};

// Absolute base URLs without a trailing slash. Compiled-in production values,
// overridden from the launch job's environment: QV_API_BASE_URL sets all four,
// then QV_ADMIN_PORTAL_BASE_URL, QV_CHECKIN_BASE_URL, QV_REALTIME_BASE_URL and
// QV_DEPLOYMENT_BASE_URL each set one.
struct ApiBaseUrls {
    ApiBaseUrls();
    std::string adminPortalBaseUrl;
    std::string checkInBaseUrl;
    std::string realtimeBaseUrl;
    std::string deploymentBaseUrl;
};

}  // namespace Keelbase::Constants
