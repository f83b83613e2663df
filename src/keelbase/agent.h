#pragma once
// The framework's agent update routine: it decides the sequence of an update
// and calls back into the agent for every piece of real work.

#include <functional>
#include <string>

#include "keelbase/rest_gateways.h"

namespace Keelbase::Lib::Agent {

using StatusReport = std::function<void(const std::string& agentUpdateId)>;

// In this order: create the request (a throw passes out); report "started"
// and "downloadStarted" (a failed report is written with writeLog and does not
// stop the update); download (a throw: writeLog, "downloadFailed", false);
// verify (a mismatch: "verificationFailed", the package deleted, false); write
// the update trigger file (when it cannot be written nothing is installed: the
// package is deleted, "failed" reported, false); install, whose result is
// returned (the installer callback reports a failed installation itself).
bool update(
    const std::string& agentUpdateId, const std::string& currentVersion,
    const std::string& updateToVersion,
    const std::function<AgentUpdateRequests::Entity(const std::string&, const std::string&)>&
        createAgentUpdateRequest,
    const std::function<std::string(const std::string& payloadUrl)>& downloadAgentUpdate,
    const std::function<bool(const std::string& path, const std::string& hash)>& verifyFileHash,
    const std::function<bool(const std::string& path, const std::string& agentUpdateId)>&
        installAgentUpdate,
    const std::function<void(const std::string& path)>& deleteFile,
    const StatusReport& updateRequestStatusDownloadStarted,
    const StatusReport& updateRequestStatusDownloadFailed,
    const StatusReport& updateRequestStatusVerificationFailed,
    const StatusReport& updateRequestStatusStarted,
    const std::function<void(const std::string& agentUpdateId, const std::string& errorMessage)>&
        updateRequestStatusFailed,
    const StatusReport& updateRequestStatusCompleted,
    const std::function<void(const std::string& line)>& writeLog,
    const std::function<bool(const std::string& agentUpdateId, const std::string& path)>&
        writeUpdateTriggerFile);

}  // namespace Keelbase::Lib::Agent
