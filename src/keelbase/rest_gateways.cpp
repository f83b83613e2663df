#include "keelbase/rest_gateways.h"

namespace Keelbase::Adapters {

RestGatewayBase::RestGatewayBase(PostFunction post, std::string endpointBase,
                                 TokenSource getAuthToken)
    : post_(std::move(post)),
      endpointBase_(std::move(endpointBase)),
      getAuthToken_(std::move(getAuthToken)) {}

BaseGateway::PostResult RestGatewayBase::send(const std::string& path,
                                              const platform::Json& payload,
                                              int routeVersion) const {
    return post_(endpointBase_ + path, getAuthToken_(), payload, routeVersion);
}

namespace ComputersGateway {
void REST::pendingActionCompleted(const std::string& actionType) const {
    send("/computers/pendingActions/completed", {{"actionType", actionType}});
}
}  // namespace ComputersGateway

namespace ComputerStatesGateway {
void REST::create(const std::string& agentVersion) const {
    send("/computers/state", {{"agentVersion", agentVersion}});
}
}  // namespace ComputerStatesGateway

namespace AgentUpdateRequestsGateway {

Lib::AgentUpdateRequests::Entity REST::createRequest(const std::string& agentUpdateId,
                                                     const std::string& currentVersion) const {
    const std::string path = "/agentUpdateRequests";
    auto result =
        send(path, {{"agentUpdateId", agentUpdateId}, {"currentVersion", currentVersion}});
    if (!result.response || result.response->statusCode != 200) {
        throw GatewayError("Request to " + path + " answered status " +
                           std::to_string(result.response ? result.response->statusCode : 0) +
                           " instead of 200");
    }
    auto entity =
        platform::decodeJson(result.data.value_or(""), [](const platform::JsonDecoder& in) {
            return Lib::AgentUpdateRequests::Entity{.id = in.string("id"),
                                                    .targetVersion = in.string("targetVersion"),
                                                    .payloadUrl = in.string("payloadUrl"),
                                                    .payloadSha256 = in.string("payloadSha256")};
        });
    if (entity.failed())
        throw GatewayError("Agent update request answer does not decode: " + entity.error());
    return std::move(entity).value();
}

void REST::reportStatus(const std::string& agentUpdateId, platform::Json body) const {
    send("/agentUpdateRequests/" + agentUpdateId + "/status", body);
}

void REST::updateStatusToStarted(const std::string& id) const {
    reportStatus(id, {{"status", "started"}});
}
void REST::updateStatusToDownloadStarted(const std::string& id) const {
    reportStatus(id, {{"status", "downloadStarted"}});
}
void REST::updateStatusToDownloadFailed(const std::string& id) const {
    reportStatus(id, {{"status", "downloadFailed"}});
}
void REST::updateStatusToVerificationFailed(const std::string& id) const {
    reportStatus(id, {{"status", "verificationFailed"}});
}
void REST::updateStatusToFailed(const std::string& id, const std::string& errorMessage) const {
    reportStatus(id, {{"status", "failed"}, {"errorMessage", errorMessage}});
}
void REST::updateStatusToCompleted(const std::string& id) const {
    reportStatus(id, {{"status", "completed"}});
}

}  // namespace AgentUpdateRequestsGateway

}  // namespace Keelbase::Adapters
