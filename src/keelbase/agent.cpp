#include "keelbase/agent.h"

#include <exception>

namespace Keelbase::Lib::Agent {
namespace {

void reportStatus(const StatusReport& report, const std::string& agentUpdateId, const char* status,
                  const std::function<void(const std::string&)>& writeLog) {
    try {
        report(agentUpdateId);
    } catch (const std::exception& error) {
        writeLog(std::string("Failed to report agent update status ") + status + ": " +
                 error.what());
    }
}

}  // namespace

bool update(
    const std::string& agentUpdateId, const std::string& currentVersion,
    const std::string& updateToVersion,
    const std::function<AgentUpdateRequests::Entity(const std::string&, const std::string&)>&
        createAgentUpdateRequest,
    const std::function<std::string(const std::string&)>& downloadAgentUpdate,
    const std::function<bool(const std::string&, const std::string&)>& verifyFileHash,
    const std::function<bool(const std::string&, const std::string&)>& installAgentUpdate,
    const std::function<void(const std::string&)>& deleteFile,
    const StatusReport& updateRequestStatusDownloadStarted,
    const StatusReport& updateRequestStatusDownloadFailed,
    const StatusReport& updateRequestStatusVerificationFailed,
    const StatusReport& updateRequestStatusStarted,
    const std::function<void(const std::string&, const std::string&)>& updateRequestStatusFailed,
    const StatusReport& /*updateRequestStatusCompleted*/,
    const std::function<void(const std::string&)>& writeLog,
    const std::function<bool(const std::string&, const std::string&)>& writeUpdateTriggerFile) {
    // "failed" is reported by the installer's own clean-up and "completed" by
    // the next start, once the new agent runs.
    const auto entity = createAgentUpdateRequest(agentUpdateId, currentVersion);
    writeLog("Updating agent from " + currentVersion + " to " + updateToVersion);
    reportStatus(updateRequestStatusStarted, agentUpdateId, "started", writeLog);
    reportStatus(updateRequestStatusDownloadStarted, agentUpdateId, "downloadStarted", writeLog);

    std::string path;
    try {
        path = downloadAgentUpdate(entity.payloadUrl);
    } catch (const std::exception& error) {
        writeLog(std::string("Agent update download failed: ") + error.what());
        reportStatus(updateRequestStatusDownloadFailed, agentUpdateId, "downloadFailed", writeLog);
        return false;
    }
    if (!verifyFileHash(path, entity.payloadSha256)) {
        reportStatus(updateRequestStatusVerificationFailed, agentUpdateId, "verificationFailed",
                     writeLog);
        deleteFile(path);
        return false;
    }
    // Written before the installation: the installer's failure clean-up and the
    // next start's recovery read the request id and the package path from it.
    // Without it an installation could never be closed, so none is started.
    if (!writeUpdateTriggerFile(agentUpdateId, path)) {
        deleteFile(path);
        try {
            updateRequestStatusFailed(agentUpdateId,
                                      "The update trigger file could not be written.");
        } catch (const std::exception& error) {
            writeLog(std::string("Failed to report agent update status failed: ") + error.what());
        }
        return false;
    }
    return installAgentUpdate(path, agentUpdateId);
}

}  // namespace Keelbase::Lib::Agent
