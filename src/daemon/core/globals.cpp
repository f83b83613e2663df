#include "daemon/core/globals.h"

#include <cstdio>
#include <ctime>

#include "daemon/core/app_core.h"

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
    using namespace std::chrono;
    const auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
    const std::time_t seconds = system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%03d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
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
