#pragma once
// The framework's agent update routine: it decides the sequence of an update
// and calls back into the agent for every piece of real work.

#include <functional>
#include <string>

#include "keelbase/rest_gateways.h"

namespace Keelbase::Lib::Agent {

using StatusReport = std::function<void(const std::string& agentUpdateId)>;

// One update and the agent's callbacks for it, each named for its step, so a
// caller fills them with designated initialisers: two callbacks of the same
// shape cannot trade places unseen. "completed" is not among them: the next
// start reports it, once the new agent runs.
struct UpdateSteps {
    std::string agentUpdateId;
    std::string currentVersion;
    std::string updateToVersion;

    std::function<AgentUpdateRequests::Entity(const std::string& agentUpdateId,
                                              const std::string& currentVersion)>
        createRequest;
    std::function<std::string(const std::string& payloadUrl)> download;
    std::function<bool(const std::string& path, const std::string& sha256)> verify;
    std::function<bool(const std::string& agentUpdateId, const std::string& path)> writeTrigger;
    std::function<bool(const std::string& path, const std::string& agentUpdateId)> install;
    std::function<void(const std::string& path)> deleteFile;

    StatusReport reportStarted;
    StatusReport reportDownloadStarted;
    StatusReport reportDownloadFailed;
    StatusReport reportVerificationFailed;
    std::function<void(const std::string& agentUpdateId, const std::string& errorMessage)>
        reportFailed;

    std::function<void(const std::string& line)> writeLog;
};

// In this order: create the request (a throw passes out); report "started"
// and "downloadStarted" (a failed report is written with writeLog and does not
// stop the update); download (a throw: writeLog, "downloadFailed", false);
// verify (a mismatch: "verificationFailed", the package deleted, false); write
// the update trigger file (when it cannot be written nothing is installed: the
// package is deleted, "failed" reported, false); install, whose result is
// returned (the installer callback reports a failed installation itself).
bool update(const UpdateSteps& steps);

}  // namespace Keelbase::Lib::Agent
