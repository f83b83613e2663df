#pragma once
// Process-wide globals of the daemon. The start-up sequence gives each its
// starting value before the main task starts; the integers and Booleans that
// several threads share are atomics, the shared strings are replaced whole.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "daemon/core/shared_value.h"

namespace QVAgentLaunchDaemon {

extern std::string BUNDLE_ID;
extern std::atomic<bool> ENABLE_DIAGNOSTIC_LOGS;

extern std::string adminPortalBaseUrl;
extern std::string checkInBaseUrl;
extern std::string realtimeBaseUrl;
extern std::string deploymentBaseUrl;

extern std::chrono::system_clock::time_point start;
extern std::string startFormatted;  // yyyyMMdd'T'HHmmss.SSS in UTC: names the run's diagnostic log

// Written by the main task during enrollment, before any worker starts.
extern SharedOptionalString authorizationToken;

extern std::atomic<std::int64_t> _getConfigurationWorkerIntervalInMilliseconds;
extern std::atomic<std::int64_t> _computerCheckInWorkerIntervalInMilliseconds;
extern std::atomic<std::int64_t> _computerStatePingIntervalInMilliseconds;
extern std::atomic<std::int64_t> _globalMaxJitter;
extern std::atomic<std::int64_t> _lastCheckedInAt;  // Unix milliseconds, -1 = never
extern std::atomic<bool> isUninstallProcessActive;

namespace Endpoints {
// The check-in URL of the last decoded configuration.
extern SharedOptionalString postCheckIn;
}  // namespace Endpoints

inline constexpr std::int64_t kDefaultConfigurationIntervalMs = 270000;
inline constexpr std::int64_t kDefaultCheckInIntervalMs = 3600000;
inline constexpr std::int64_t kDefaultStatePingIntervalMs = 570000;
inline constexpr std::int64_t kDefaultGlobalMaxJitterMs = 30000;

// `time` rendered as yyyyMMdd'T'HHmmss.SSS in UTC.
std::string formatStartTime(std::chrono::system_clock::time_point time);

// Step 1 of the start-up sequence: every global to its starting value, in order.
void initializeGlobals();

}  // namespace QVAgentLaunchDaemon
