#include "daemon/configuration/configuration.h"
#include "daemon/core/unexpected.h"

#include <cmath>
#include <ctime>
#include <limits>
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

struct DecodeError {
    std::string message;
};

std::string describeType(const Json& value) {
    return value.is_null() ? "null" : value.type_name();
}

// One level of the payload: the object and the key path that led to it.
class Decoder {
  public:
    Decoder(const Json& object, std::string path) : object_(object), path_(std::move(path)) {}

    static Decoder root(const Json& document) {
        if (!document.is_object()) {
            throw DecodeError{"Expected to decode a dictionary at the top level but found " +
                              describeType(document)};
        }
        return Decoder(document, "");
    }

    std::string pathOf(const std::string& key) const {
        return path_.empty() ? key : path_ + "." + key;
    }

    const Json& required(const std::string& key) const {
        auto it = object_.find(key);
        if (it == object_.end())
            throw DecodeError{"No value associated with key \"" + pathOf(key) + "\""};
        if (it->is_null())
            throw DecodeError{"Expected a value for key \"" + pathOf(key) + "\" but found null"};
        return *it;
    }

    Decoder object(const std::string& key) const {
        const Json& value = required(key);
        if (!value.is_object())
            throw mismatch(key, "a dictionary", value);
        return Decoder(value, pathOf(key));
    }

    std::string string(const std::string& key) const {
        const Json& value = required(key);
        if (!value.is_string())
            throw mismatch(key, "a string", value);
        return value.get<std::string>();
    }

    std::optional<std::string> optionalString(const std::string& key) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null())
            return std::nullopt;
        if (!it->is_string())
            throw mismatch(key, "a string", *it);
        return it->get<std::string>();
    }

    std::int64_t integer(const std::string& key) const {
        const Json& value = required(key);
        if (value.is_number_integer() && !value.is_number_unsigned())
            return value.get<std::int64_t>();
        if (value.is_number_unsigned()) {
            const auto number = value.get<std::uint64_t>();
            if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return static_cast<std::int64_t>(number);
            throw notFitting(key, value);
        }
        if (value.is_number_float()) {
            // A whole number written with a fraction or exponent (270.0, 1e3)
            // is still an integer; anything else is not.
            const double number = value.get<double>();
            if (std::trunc(number) != number)
                throw notFitting(key, value);
            if (number < -9223372036854775808.0 || number >= 9223372036854775808.0)
                throw notFitting(key, value);
            return static_cast<std::int64_t>(number);
        }
        throw mismatch(key, "an integer", value);
    }

    std::vector<Decoder> arrayOfObjects(const std::string& key) const {
        const Json& value = required(key);
        if (!value.is_array())
            throw mismatch(key, "an array", value);
        std::vector<Decoder> elements;
        for (std::size_t i = 0; i < value.size(); ++i) {
            const std::string elementPath = pathOf(key) + "[" + std::to_string(i) + "]";
            if (!value[i].is_object()) {
                throw DecodeError{"Expected to decode a dictionary at \"" + elementPath +
                                  "\" but found " + describeType(value[i])};
            }
            elements.emplace_back(value[i], elementPath);
        }
        return elements;
    }

  private:
    DecodeError mismatch(const std::string& key, const char* expected, const Json& found) const {
        return DecodeError{"Expected to decode " + std::string(expected) + " for key \"" +
                           pathOf(key) + "\" but found " + describeType(found)};
    }
    DecodeError notFitting(const std::string& key, const Json& found) const {
        return DecodeError{"Parsed JSON number <" + found.dump() + "> for key \"" + pathOf(key) +
                           "\" does not fit in a signed 64-bit integer"};
    }

    const Json& object_;
    std::string path_;
};

PendingActionDTO decodePendingAction(const Decoder& in) {
    return {in.string("type"), in.optionalString("value"), in.optionalString("display")};
}

ConfigurationDTO decodeConfiguration(const Decoder& in) {
    ConfigurationDTO dto;
    dto.computerConfigurationPingIntervalOverride =
        in.integer("computerConfigurationPingIntervalOverride");
    dto.computerCheckInPingIntervalOverride = in.integer("computerCheckInPingIntervalOverride");
    dto.computerStatePingIntervalOverride = in.integer("computerStatePingIntervalOverride");
    dto.globalMaxJitterOverride = in.integer("globalMaxJitterOverride");
    dto.retryIntervalDownloadConfigurationMultiplierOverride =
        in.integer("retryIntervalDownloadConfigurationMultiplierOverride");
    dto.retryIntervalDownloadConfigurationMaxJitterOverride =
        in.integer("retryIntervalDownloadConfigurationMaxJitterOverride");
    dto.retryIntervalDownloadConfigurationMaxBackoffOverride =
        in.integer("retryIntervalDownloadConfigurationMaxBackoffOverride");
    dto.retryIntervalDownloadConfigurationMaxCollisionsOverride =
        in.integer("retryIntervalDownloadConfigurationMaxCollisionsOverride");
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

std::optional<GetConfigurationDTO> decodeGetConfiguration(const std::string& body,
                                                          std::string& error) {
    auto document = platform::parseJson(body, &error);
    if (!document)
        return std::nullopt;
    try {
        return GetConfigurationDTO{
            decodeConfiguration(Decoder::root(*document).object("configuration"))};
    } catch (const DecodeError& failure) {
        error = failure.message;
        return std::nullopt;
    }
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
    return {
        {"configuration",
         {{"computerConfigurationPingIntervalOverride",
           c.computerConfigurationPingIntervalOverride},
          {"computerCheckInPingIntervalOverride", c.computerCheckInPingIntervalOverride},
          {"computerStatePingIntervalOverride", c.computerStatePingIntervalOverride},
          {"globalMaxJitterOverride", c.globalMaxJitterOverride},
          {"retryIntervalDownloadConfigurationMultiplierOverride",
           c.retryIntervalDownloadConfigurationMultiplierOverride},
          {"retryIntervalDownloadConfigurationMaxJitterOverride",
           c.retryIntervalDownloadConfigurationMaxJitterOverride},
          {"retryIntervalDownloadConfigurationMaxBackoffOverride",
           c.retryIntervalDownloadConfigurationMaxBackoffOverride},
          {"retryIntervalDownloadConfigurationMaxCollisionsOverride",
           c.retryIntervalDownloadConfigurationMaxCollisionsOverride},
          {"endpoints", {{"postCheckIn", {{"resourceUrl", c.endpoints.postCheckIn.resourceUrl}}}}},
          {"pendingActions", std::move(actions)}}}};
}

std::string describe(const GetConfigurationDTO& dto) {
    const ConfigurationDTO& c = dto.configuration;
    std::string actions;
    for (const auto& action : c.pendingActions)
        actions += (actions.empty() ? "" : ", ") + describe(action);
    auto field = [](const char* name, std::int64_t value) {
        return std::string(name) + ": " + std::to_string(value) + ", ";
    };
    return "GetConfigurationDTO(configuration: ConfigurationDTO(" +
           field("computerConfigurationPingIntervalOverride",
                 c.computerConfigurationPingIntervalOverride) +
           field("computerCheckInPingIntervalOverride", c.computerCheckInPingIntervalOverride) +
           field("computerStatePingIntervalOverride", c.computerStatePingIntervalOverride) +
           field("globalMaxJitterOverride", c.globalMaxJitterOverride) +
           field("retryIntervalDownloadConfigurationMultiplierOverride",
                 c.retryIntervalDownloadConfigurationMultiplierOverride) +
           field("retryIntervalDownloadConfigurationMaxJitterOverride",
                 c.retryIntervalDownloadConfigurationMaxJitterOverride) +
           field("retryIntervalDownloadConfigurationMaxBackoffOverride",
                 c.retryIntervalDownloadConfigurationMaxBackoffOverride) +
           field("retryIntervalDownloadConfigurationMaxCollisionsOverride",
                 c.retryIntervalDownloadConfigurationMaxCollisionsOverride) +
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

std::string localHourAndMinute(std::int64_t unixMilliseconds) {
    const std::time_t seconds = static_cast<std::time_t>(unixMilliseconds / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    return std::to_string(local.tm_hour) + ":" + std::to_string(local.tm_min);
}

ConfigurationHooks defaultConfigurationHooks() {
    return {[] { return platform::SystemClock::instance().nowUnixMilliseconds(); },
            [] { checkIn(); }, startPendingActionsTask};
}

std::optional<std::string> handleConfigurationAnswer(const platform::DataTaskResult& result,
                                                     const ConfigurationHooks& hooks) {
    if (!answerHasStatus(result))
        return std::nullopt;

    std::string error;
    auto dto = decodeGetConfiguration(result.body.value_or(""), error);
    if (!dto) {
        const std::string message = "Failed to decode JSON: " + error;
        Logging::WriteLine(message);
        if (logRawJsonResponse(result.body.value_or("")))
            Logging::WriteError("No Reponse JSON to parse.");
        return message;
    }

    Logging::WriteLine("Parsed Todo: " + describe(*dto));
    applyConfiguration(dto->configuration);
    const std::int64_t nowMs = hooks.nowUnixMilliseconds();
    Logging::WriteLine("Got configuration at " + localHourAndMinute(nowMs));

    std::optional<std::string> failure;
    if (isCheckInDue(_lastCheckedInAt.load(), _computerCheckInWorkerIntervalInMilliseconds.load(),
                     nowMs) &&
        Endpoints::postCheckIn.get()) {
        try {
            hooks.checkIn();
            _lastCheckedInAt = nowMs;
        } catch (const std::exception& e) {
            Logging::WriteError(std::string("Check in failed: ") + e.what());
            failure = "Check in failed";
        }
    }
    if (!dto->configuration.pendingActions.empty())
        hooks.startPendingActions(std::move(dto->configuration.pendingActions));
    return failure;
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
    std::optional<std::string> failure;
    sendAndWait(std::move(request), [&](const platform::DataTaskResult& result) {
        failure = handleConfigurationAnswer(result, hooks);
    });
    if (failure)
        throw CustomError(*failure);
}

}  // namespace QVAgentLaunchDaemon
