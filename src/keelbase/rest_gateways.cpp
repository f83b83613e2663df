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
    std::string parseError;
    auto json = platform::parseJson(result.data.value_or(""), &parseError);
    if (!json)
        throw GatewayError("Agent update request answer is not JSON: " + parseError);
    Lib::AgentUpdateRequests::Entity entity;
    const std::pair<const char*, std::string*> fields[] = {
        {"id", &entity.id},
        {"targetVersion", &entity.targetVersion},
        {"payloadUrl", &entity.payloadUrl},
        {"payloadSha256", &entity.payloadSha256}};
    for (const auto& [key, target] : fields) {
        if (!json->is_object() || !json->contains(key) || !(*json)[key].is_string()) {
            throw GatewayError(std::string("Agent update request answer lacks the string \"") +
                               key + "\"");
        }
        *target = (*json)[key].get<std::string>();
    }
    return entity;
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
