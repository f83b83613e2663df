// The daemon's agent update: the framework's routine run with App::Core's
// gateways for the requests and the download, and this part's own steps for
// the rest.

#include "daemon/actions/agent_update.h"
#include "daemon/core/app_core.h"
#include "keelbase/agent.h"

namespace QVAgentLaunchDaemon {

bool runAgentUpdate(const std::string& agentUpdateId, const std::string& updateToVersion) {
    using App::Core::AgentUpdateRequests;
    return Keelbase::Lib::Agent::update({
        .agentUpdateId = agentUpdateId,
        .currentVersion = App::Core::Metadata::version(),
        .updateToVersion = updateToVersion,
        .createRequest = AgentUpdateRequests::createRequest,
        .download = App::Core::AgentUpdates::downloadAgentUpdate,
        .verify = verifyFileHash,
        .writeTrigger = writeUpdateTriggerFile,
        .install = installPkg,
        .deleteFile = removePathUnguarded,
        .reportStarted = AgentUpdateRequests::updateStatusToStarted,
        .reportDownloadStarted = AgentUpdateRequests::updateStatusToDownloadStarted,
        .reportDownloadFailed = AgentUpdateRequests::updateStatusToDownloadFailed,
        .reportVerificationFailed = AgentUpdateRequests::updateStatusToVerificationFailed,
        .reportFailed = AgentUpdateRequests::updateStatusToFailed,
        .writeLog = [](const std::string& line) { App::Core::Logging::WriteLine(line); },
    });
}

}  // namespace QVAgentLaunchDaemon
