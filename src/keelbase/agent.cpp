#include "keelbase/agent.h"

#include <exception>

namespace Keelbase::Lib::Agent {
namespace {

void reportStatus(const StatusReport& report, const UpdateSteps& steps, const char* status) {
    try {
        report(steps.agentUpdateId);
    } catch (const std::exception& error) {
        steps.writeLog(std::string("Failed to report agent update status ") + status + ": " +
                       error.what());
    }
}

}  // namespace

bool update(const UpdateSteps& steps) {
    // "failed" is reported by the installer's own clean-up and "completed" by
    // the next start, once the new agent runs.
    const auto entity = steps.createRequest(steps.agentUpdateId, steps.currentVersion);
    steps.writeLog("Updating agent from " + steps.currentVersion + " to " + steps.updateToVersion);
    reportStatus(steps.reportStarted, steps, "started");
    reportStatus(steps.reportDownloadStarted, steps, "downloadStarted");

    std::string path;
    try {
        path = steps.download(entity.payloadUrl);
    } catch (const std::exception& error) {
        steps.writeLog(std::string("Agent update download failed: ") + error.what());
        reportStatus(steps.reportDownloadFailed, steps, "downloadFailed");
        return false;
    }
    if (!steps.verify(path, entity.payloadSha256)) {
        reportStatus(steps.reportVerificationFailed, steps, "verificationFailed");
        steps.deleteFile(path);
        return false;
    }
    // Written before the installation: the installer's failure clean-up and the
    // next start's recovery read the request id and the package path from it.
    // Without it an installation could never be closed, so none is started.
    if (!steps.writeTrigger(steps.agentUpdateId, path)) {
        steps.deleteFile(path);
        try {
            steps.reportFailed(steps.agentUpdateId,
                               "The update trigger file could not be written.");
        } catch (const std::exception& error) {
            steps.writeLog(std::string("Failed to report agent update status failed: ") +
                           error.what());
        }
        return false;
    }
    return steps.install(path, steps.agentUpdateId);
}

}  // namespace Keelbase::Lib::Agent
