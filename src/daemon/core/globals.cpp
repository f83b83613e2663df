#include "daemon/core/globals.h"

#include "daemon/core/app_core.h"
#include "platform/time.h"

namespace QVAgentLaunchDaemon {

std::string BUNDLE_ID;
std::atomic<bool> ENABLE_DIAGNOSTIC_LOGS{false};
std::string adminPortalBaseUrl;
std::string checkInBaseUrl;
std::string realtimeBaseUrl;
std::string deploymentBaseUrl;
std::chrono::system_clock::time_point start;
std::string startFormatted;
SharedOptionalString authorizationToken;
std::atomic<std::int64_t> _getConfigurationWorkerIntervalInMilliseconds{
    kDefaultConfigurationIntervalMs};
std::atomic<std::int64_t> _computerCheckInWorkerIntervalInMilliseconds{kDefaultCheckInIntervalMs};
std::atomic<std::int64_t> _computerStatePingIntervalInMilliseconds{kDefaultStatePingIntervalMs};
std::atomic<std::int64_t> _globalMaxJitter{kDefaultGlobalMaxJitterMs};
std::atomic<std::int64_t> _lastCheckedInAt{-1};
std::atomic<bool> isUninstallProcessActive{false};

namespace Endpoints {
SharedOptionalString postCheckIn;
}

std::string formatStartTime(std::chrono::system_clock::time_point time) {
    return platform::formatTime(time, platform::TimeFormat::compactUtcMilliseconds);
}

void initializeGlobals() {
    BUNDLE_ID = App::Core::Metadata::bundleId();
    ENABLE_DIAGNOSTIC_LOGS = false;
    adminPortalBaseUrl = App::Core::Gateway::adminPortalBaseUrl();
    checkInBaseUrl = App::Core::Gateway::checkInBaseUrl();
    realtimeBaseUrl = App::Core::Gateway::realtimeBaseUrl();
    deploymentBaseUrl = App::Core::Gateway::deploymentBaseUrl();
    start = std::chrono::system_clock::now();
    startFormatted = formatStartTime(start);
    authorizationToken.set(std::nullopt);
    _getConfigurationWorkerIntervalInMilliseconds = kDefaultConfigurationIntervalMs;
    _computerCheckInWorkerIntervalInMilliseconds = kDefaultCheckInIntervalMs;
    _computerStatePingIntervalInMilliseconds = kDefaultStatePingIntervalMs;
    _globalMaxJitter = kDefaultGlobalMaxJitterMs;
    _lastCheckedInAt = -1;
    isUninstallProcessActive = false;
}

}  // namespace QVAgentLaunchDaemon
