#include "daemon/configuration/configuration.h"
#include "daemon/core/task_edge.h"

#include <chrono>
#include <utility>

#include "daemon/configuration/check_in.h"
#include "daemon/configuration/retry_interval.h"
#include "daemon/core/app_core.h"
#include "daemon/core/backoff.h"
#include "daemon/core/custom_error.h"
#include "daemon/core/globals.h"
#include "daemon/core/requests.h"
#include "daemon/core/wake_signal.h"
#include "platform/dispatch.h"
#include "platform/time.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;
using platform::Json;

constexpr const char* kConfigurationAccept = "application/vnd.quorvel.v3+json";

using platform::JsonDecoder;

// The eight overrides, in wire order: decode, encode and describe walk this table.
struct OverrideField {
    const char* key;
    std::int64_t ConfigurationDTO::*member;
};
constexpr OverrideField kOverrideFields[] = {
    {"computerConfigurationPingIntervalOverride",
     &ConfigurationDTO::computerConfigurationPingIntervalOverride},
    {"computerCheckInPingIntervalOverride", &ConfigurationDTO::computerCheckInPingIntervalOverride},
    {"computerStatePingIntervalOverride", &ConfigurationDTO::computerStatePingIntervalOverride},
    {"globalMaxJitterOverride", &ConfigurationDTO::globalMaxJitterOverride},
    {"retryIntervalDownloadConfigurationMultiplierOverride",
     &ConfigurationDTO::retryIntervalDownloadConfigurationMultiplierOverride},
    {"retryIntervalDownloadConfigurationMaxJitterOverride",
     &ConfigurationDTO::retryIntervalDownloadConfigurationMaxJitterOverride},
    {"retryIntervalDownloadConfigurationMaxBackoffOverride",
     &ConfigurationDTO::retryIntervalDownloadConfigurationMaxBackoffOverride},
    {"retryIntervalDownloadConfigurationMaxCollisionsOverride",
     &ConfigurationDTO::retryIntervalDownloadConfigurationMaxCollisionsOverride},
};

PendingActionDTO decodePendingAction(const JsonDecoder& in) {
    return {in.string("type"), in.optionalString("value"), in.optionalString("display")};
}

ConfigurationDTO decodeConfiguration(const JsonDecoder& in) {
    ConfigurationDTO dto;
    for (const auto& field : kOverrideFields)
        dto.*field.member = in.integer(field.key);
    dto.endpoints.postCheckIn.resourceUrl =
        in.object("endpoints").object("postCheckIn").string("resourceUrl");
    for (const auto& element : in.arrayOfObjects("pendingActions"))
        dto.pendingActions.push_back(decodePendingAction(element));
    return dto;
}

std::string quoted(const std::string& text) {
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string optionalRendering(const std::optional<std::string>& value) {
    return value ? "Optional(" + quoted(*value) + ")" : "nil";
}

std::string describe(const PendingActionDTO& action) {
    return "PendingActionDTO(type: " + quoted(action.type) +
           ", value: " + optionalRendering(action.value) +
           ", display: " + optionalRendering(action.display) + ")";
}

void startPendingActionsTask(std::vector<PendingActionDTO> pendingActions) {
    detachTask("qv-actions", [pendingActions = std::move(pendingActions)] {
        processPendingActions(pendingActions);
    });
}

}  // namespace

platform::Result<GetConfigurationDTO> decodeGetConfiguration(const std::string& body) {
    return platform::decodeJson(body, [](const JsonDecoder& document) {
        return GetConfigurationDTO{decodeConfiguration(document.object("configuration"))};
    });
}

platform::Json encode(const GetConfigurationDTO& dto) {
    const ConfigurationDTO& c = dto.configuration;
    Json actions = Json::array();
    for (const auto& action : c.pendingActions) {
        Json element = {{"type", action.type}};
        if (action.value)
            element["value"] = *action.value;
        if (action.display)
            element["display"] = *action.display;
        actions.push_back(std::move(element));
    }
    Json configuration = Json::object();
    for (const auto& field : kOverrideFields)
        configuration[field.key] = c.*field.member;
    configuration["endpoints"] = {
        {"postCheckIn", {{"resourceUrl", c.endpoints.postCheckIn.resourceUrl}}}};
    configuration["pendingActions"] = std::move(actions);
    return {{"configuration", std::move(configuration)}};
}

std::string describe(const GetConfigurationDTO& dto) {
    const ConfigurationDTO& c = dto.configuration;
    std::string actions;
    for (const auto& action : c.pendingActions)
        actions += (actions.empty() ? "" : ", ") + describe(action);
    std::string fields;
    for (const auto& field : kOverrideFields)
        fields += std::string(field.key) + ": " + std::to_string(c.*field.member) + ", ";
    return "GetConfigurationDTO(configuration: ConfigurationDTO(" + fields +
           "endpoints: EndpointsDTO(postCheckIn: EndpointDTO(resourceUrl: " +
           quoted(c.endpoints.postCheckIn.resourceUrl) + ")), pendingActions: [" + actions + "]))";
}

void applyConfiguration(const ConfigurationDTO& c) {
    const std::int64_t workerSettings[] = {_getConfigurationWorkerIntervalInMilliseconds.load(),
                                           _computerStatePingIntervalInMilliseconds.load(),
                                           _globalMaxJitter.load()};
    _getConfigurationWorkerIntervalInMilliseconds =
        saturatingMultiply(c.computerConfigurationPingIntervalOverride, 1000);
    _computerCheckInWorkerIntervalInMilliseconds =
        saturatingMultiply(c.computerCheckInPingIntervalOverride, 1000);
    _computerStatePingIntervalInMilliseconds =
        saturatingMultiply(c.computerStatePingIntervalOverride, 1000);
    _globalMaxJitter = saturatingMultiply(c.globalMaxJitterOverride, 1000);
    RetryInterval::getConfigurationMultiplierInMilliseconds =
        c.retryIntervalDownloadConfigurationMultiplierOverride;
    RetryInterval::getConfigurationMaxJitterInMilliseconds =
        c.retryIntervalDownloadConfigurationMaxJitterOverride;
    RetryInterval::getConfigurationMaxBackoffInMilliseconds =
        c.retryIntervalDownloadConfigurationMaxBackoffOverride;
    RetryInterval::getConfigurationMaxCollisions =
        c.retryIntervalDownloadConfigurationMaxCollisionsOverride;
    Endpoints::postCheckIn.set(c.endpoints.postCheckIn.resourceUrl);
    // The workers sleep across the ticks their settings make idle: a change
    // wakes them to plan again.
    if (workerSettings[0] != _getConfigurationWorkerIntervalInMilliseconds.load() ||
        workerSettings[1] != _computerStatePingIntervalInMilliseconds.load() ||
        workerSettings[2] != _globalMaxJitter.load())
        workerSettingsChanged().notify();
}

bool isCheckInDue(std::int64_t lastCheckedInAt, std::int64_t intervalMs, std::int64_t nowMs) {
    // A check-in "in the future" means the wall clock was set back since: the
    // time it was made no longer tells how long ago that was.
    return lastCheckedInAt == -1 || lastCheckedInAt > nowMs ||
           saturatingAdd(lastCheckedInAt, intervalMs) < nowMs;
}

ConfigurationHooks defaultConfigurationHooks() {
    return {[] { return platform::SystemClock::instance().nowUnixMilliseconds(); },
            [] { checkIn(); }, startPendingActionsTask};
}

platform::Status handleConfigurationAnswer(const platform::DataTaskResult& result,
                                           const ConfigurationHooks& hooks) {
    if (!answerHasStatus(result))
        return platform::Status::success();

    auto dto = decodeGetConfiguration(result.body.value_or(""));
    if (dto.failed()) {
        const std::string message = "Failed to decode JSON: " + dto.error();
        Logging::WriteLine(message);
        if (logRawJsonResponse(result.body.value_or("")).failed())
            Logging::WriteError("No Reponse JSON to parse.");
        return platform::Status::failure(message);
    }

    Logging::WriteLine("Parsed Todo: " + describe(*dto));
    applyConfiguration(dto->configuration);
    const std::int64_t nowMs = hooks.nowUnixMilliseconds();
    Logging::WriteLine("Got configuration at " +
                       platform::formatTime(
                           std::chrono::system_clock::time_point(std::chrono::milliseconds(nowMs)),
                           platform::TimeFormat::localHourAndMinute));

    platform::Status outcome = platform::Status::success();
    if (isCheckInDue(_lastCheckedInAt.load(), _computerCheckInWorkerIntervalInMilliseconds.load(),
                     nowMs) &&
        Endpoints::postCheckIn.get()) {
        try {
            hooks.checkIn();
            _lastCheckedInAt = nowMs;
        } catch (const std::exception& e) {
            Logging::WriteError(std::string("Check in failed: ") + e.what());
            outcome = platform::Status::failure("Check in failed");
        }
    }
    if (!dto->configuration.pendingActions.empty())
        hooks.startPendingActions(std::move(dto->configuration.pendingActions));
    return outcome;
}

void getConfiguration() {
    getConfiguration(defaultConfigurationHooks());
}

void getConfiguration(const ConfigurationHooks& hooks) {
    Logging::WriteLine("Making request for computer configuration.");
    const std::string url = checkInBaseUrl + "/computers/configuration";
    if (!platform::isValidUrl(url))
        throw CustomError("Invalid URL");
    // The workers that call this run only while a token is held.
    auto request = makeRequest(
        "GET", url,
        {.accept = kConfigurationAccept, .authorization = authorizationToken.get().value_or("")});
    platform::Status outcome = platform::Status::success();
    sendAndWait(std::move(request), [&](const platform::DataTaskResult& result) {
        outcome = handleConfigurationAnswer(result, hooks);
    });
    if (outcome.failed())
        throw CustomError(outcome.error());
}

}  // namespace QVAgentLaunchDaemon
