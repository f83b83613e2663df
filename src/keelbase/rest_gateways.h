#pragma once
// REST gateways of the framework: one per server resource, all on the
// realtime base URL, each reading the token from its token source at every call.

#include <functional>
#include <optional>
#include <string>

#include "keelbase/url_session_gateway.h"

namespace Keelbase::Lib::AgentUpdateRequests {

struct Entity {
    std::string id;
    std::string targetVersion;
    std::string payloadUrl;
    std::string payloadSha256;
};

}  // namespace Keelbase::Lib::AgentUpdateRequests

namespace Keelbase::Adapters {

using PostFunction = std::function<BaseGateway::PostResult(
    const std::string& endpointUrl, const std::optional<std::string>& authToken,
    const platform::Json& payload, int routeVersion)>;
using TokenSource = std::function<std::optional<std::string>()>;

class RestGatewayBase {
  public:
    RestGatewayBase(PostFunction post, std::string endpointBase, TokenSource getAuthToken);

  protected:
    BaseGateway::PostResult send(const std::string& path, const platform::Json& payload,
                                 int routeVersion = 1) const;

  private:
    PostFunction post_;
    std::string endpointBase_;
    TokenSource getAuthToken_;
};

namespace ComputersGateway {
class REST : public RestGatewayBase {
  public:
    using RestGatewayBase::RestGatewayBase;
    void pendingActionCompleted(const std::string& actionType) const;
};
}  // namespace ComputersGateway

namespace ComputerStatesGateway {
class REST : public RestGatewayBase {
  public:
    using RestGatewayBase::RestGatewayBase;
    void create(const std::string& agentVersion) const;
};
}  // namespace ComputerStatesGateway

namespace AgentUpdateRequestsGateway {
class REST : public RestGatewayBase {
  public:
    using RestGatewayBase::RestGatewayBase;
    Lib::AgentUpdateRequests::Entity createRequest(const std::string& agentUpdateId,
                                                   const std::string& currentVersion) const;
    void updateStatusToStarted(const std::string& agentUpdateId) const;
    void updateStatusToDownloadStarted(const std::string& agentUpdateId) const;
    void updateStatusToDownloadFailed(const std::string& agentUpdateId) const;
    void updateStatusToVerificationFailed(const std::string& agentUpdateId) const;
    void updateStatusToFailed(const std::string& agentUpdateId,
                              const std::string& errorMessage) const;
    void updateStatusToCompleted(const std::string& agentUpdateId) const;

  private:
    void reportStatus(const std::string& agentUpdateId, platform::Json body) const;
};
}  // namespace AgentUpdateRequestsGateway

}  // namespace Keelbase::Adapters
