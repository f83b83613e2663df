#include "keelbase/constants.h"

#include <cstdlib>

#ifndef QV_AGENT_VERSION
#error "QV_AGENT_VERSION must be defined by the build"
#endif

namespace Keelbase::Constants {
namespace {

void overrideFromEnvironment(std::string& value, const char* variable) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0')
        return;
    value = text;
    while (!value.empty() && value.back() == '/')
        value.pop_back();
}

}  // namespace

Metadata::Metadata() : bundleId("com.tessaly.Quorvel"), version(QV_AGENT_VERSION) {}

ApiBaseUrls::ApiBaseUrls()
    : adminPortalBaseUrl("https://admin.quorvel.example"),
      checkInBaseUrl("https://checkin.quorvel.example"),
      realtimeBaseUrl("https://realtime.quorvel.example"),
      deploymentBaseUrl("https://deploy.quorvel.example") {
    for (auto* url : {&adminPortalBaseUrl, &checkInBaseUrl, &realtimeBaseUrl, &deploymentBaseUrl}) {
        overrideFromEnvironment(*url, "QV_API_BASE_URL");
    }
    overrideFromEnvironment(adminPortalBaseUrl, "QV_ADMIN_PORTAL_BASE_URL");
    overrideFromEnvironment(checkInBaseUrl, "QV_CHECKIN_BASE_URL");
    overrideFromEnvironment(realtimeBaseUrl, "QV_REALTIME_BASE_URL");
    overrideFromEnvironment(deploymentBaseUrl, "QV_DEPLOYMENT_BASE_URL");
}

}  // namespace Keelbase::Constants
