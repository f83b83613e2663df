#pragma once
// The computer's configuration: the payload the API answers, its strict
// decoding, and getConfiguration(), which fetches it, applies the overrides,
// checks in when due and hands pending actions on.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "daemon/actions/pending_actions.h"
#include "platform/http_session.h"
#include "platform/json.h"
#include "platform/result.h"

namespace QVAgentLaunchDaemon {

struct EndpointDTO {
    std::string resourceUrl;  // complete, absolute check-in URL
};

struct EndpointsDTO {
    EndpointDTO postCheckIn;
};

// The first four overrides are seconds, the retry settings milliseconds (the
// collision ceiling a count): the wire format mixes units on purpose.
struct ConfigurationDTO {
    std::int64_t computerConfigurationPingIntervalOverride = 0;
    std::int64_t computerCheckInPingIntervalOverride = 0;
    std::int64_t computerStatePingIntervalOverride = 0;
    std::int64_t globalMaxJitterOverride = 0;
    std::int64_t retryIntervalDownloadConfigurationMultiplierOverride = 0;
    std::int64_t retryIntervalDownloadConfigurationMaxJitterOverride = 0;
    std::int64_t retryIntervalDownloadConfigurationMaxBackoffOverride = 0;
    std::int64_t retryIntervalDownloadConfigurationMaxCollisionsOverride = 0;
    EndpointsDTO endpoints;
    std::vector<PendingActionDTO> pendingActions;
};

struct GetConfigurationDTO {
    ConfigurationDTO configuration;
};

// Decodes the answer body strictly (platform::JsonDecoder): a failure names
// the key path and the reason.
platform::Result<GetConfigurationDTO> decodeGetConfiguration(const std::string& body);
// The same keys; "value" and "display" only when present.
platform::Json encode(const GetConfigurationDTO& dto);
// One line naming every field and its value, nested records included.
std::string describe(const GetConfigurationDTO& dto);

// Writes all nine values, in order, without range checks: the four intervals
// as seconds x 1000 (saturated, never wrapped), the retry settings as given,
// and the check-in URL.
void applyConfiguration(const ConfigurationDTO& configuration);

// Due when never checked in, when last + interval < now (strictly), or when
// last lies after now (the wall clock was set back).
bool isCheckInDue(std::int64_t lastCheckedInAt, std::int64_t intervalMs, std::int64_t nowMs);

// What the completion handler reaches outside itself, replaceable in tests.
struct ConfigurationHooks {
    std::function<std::int64_t()> nowUnixMilliseconds;
    std::function<void()> checkIn;
    // Starts the dispatch of a non-empty list on its own task, not awaited.
    std::function<void(std::vector<PendingActionDTO>)> startPendingActions;
};
ConfigurationHooks defaultConfigurationHooks();

// The completion handler's work on one answer; a failure's message is what
// getConfiguration throws.
platform::Status handleConfigurationAnswer(const platform::DataTaskResult& result,
                                           const ConfigurationHooks& hooks);

// One authorized fetch of the configuration, blocking until the answer has
// been handled. Throws CustomError for an invalid URL, an answer that does not
// decode, or a failed check-in; transport errors and other statuses are only
// logged.
void getConfiguration();
void getConfiguration(const ConfigurationHooks& hooks);

}  // namespace QVAgentLaunchDaemon
