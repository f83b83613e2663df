// App::Core's update entry and its callbacks, wired to the daemon's own update
// steps. Kept beside the update so that App::Core depends on no part above it.

#include "daemon/actions/agent_update.h"
#include "daemon/core/app_core.h"
#include "keelbase/agent.h"

namespace QVAgentLaunchDaemon::App::Core {

std::function<bool(const std::string&, const std::string&)> AgentUpdates::installPkg =
    QVAgentLaunchDaemon::installPkg;
std::function<bool(const std::string&, const std::string&)> AgentUpdates::verifyFileHash =
    QVAgentLaunchDaemon::verifyFileHash;
std::function<void(const std::string&)> AgentUpdates::deleteFile =
    QVAgentLaunchDaemon::removePathUnguarded;

std::function<bool(const std::string&, const std::string&)> Agent::writeUpdateTriggerFile =
    QVAgentLaunchDaemon::writeUpdateTriggerFile;

bool Agent::update(const std::string& agentUpdateId, const std::string& updateToVersion) {
    return Keelbase::Lib::Agent::update(
        agentUpdateId, Metadata::version(), updateToVersion, AgentUpdateRequests::createRequest,
        AgentUpdates::downloadAgentUpdate, AgentUpdates::verifyFileHash, AgentUpdates::installPkg,
        AgentUpdates::deleteFile, AgentUpdateRequests::updateStatusToDownloadStarted,
        AgentUpdateRequests::updateStatusToDownloadFailed,
        AgentUpdateRequests::updateStatusToVerificationFailed,
        AgentUpdateRequests::updateStatusToStarted, AgentUpdateRequests::updateStatusToFailed,
        AgentUpdateRequests::updateStatusToCompleted,
        [](const std::string& line) { Logging::WriteLine(line); }, Agent::writeUpdateTriggerFile);
}

}  // namespace QVAgentLaunchDaemon::App::Core
