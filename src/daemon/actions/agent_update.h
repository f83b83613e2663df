#pragma once
// The daemon's building blocks of an agent self-update, handed to the
// framework's update routine: package installation, digest
// check, the update trigger file and file removal. Also the reading of the
// trigger file that the installation failure clean-up and the recovery at the
// next start share.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace QVAgentLaunchDaemon {

// "/tmp/qvupdate.trigger" as the product knows it (resolve before use). Line 1
// the agent update request id, line 2 the downloaded package's path.
inline constexpr const char* kUpdateTriggerPath = "/tmp/qvupdate.trigger";

// The agent update the "updateAgent" pending action asks for: the
// framework's update routine (keelbase/agent.h) with App::Core's requests and
// download and the steps below. Its result and its errors pass unchanged.
bool runAgentUpdate(const std::string& agentUpdateId, const std::string& updateToVersion);

// Runs the installer on the package; true only when its trimmed output holds
// "The upgrade was successful." or "The install was successful.". Once an
// uninstall has begun the installer is not run. Every failure runs the
// installation failure clean-up. Does not throw.
bool installPkg(const std::string& filePath, const std::string& agentUpdateRequestId);

// SHA-256 of the file, streamed, as lower-case hex compared exactly with
// `verifiedHash`. Does not throw.
bool verifyFileHash(const std::string& filePath, const std::string& verifiedHash);

// Replaces the trigger file atomically with "<id>\n<path>" (no final line
// feed), mode 0600; anything else planted at its path is swapped out in the
// same step and removed, never followed. A trigger of an earlier update that
// awaits its close is never overwritten. A failure is reported on the log and
// false returned.
bool writeUpdateTriggerFile(const std::string& agentUpdateRequestId,
                            const std::string& agentUpdateFilePath);

// Removes the file or folder at the path, wherever it lies (unlike
// removeUpdatePackage, nothing is checked: only for a path the daemon made
// itself, such as the download it just fetched); a failure is ignored silently.
void removePathUnguarded(const std::string& filePath);

struct UpdateTrigger {
    std::string agentUpdateRequestId;  // line 1, or empty
    std::string packagePath;           // line 2, or empty
};

// Splits at every Unicode newline character (LF, VT, FF, CR, NEL, LS, PS),
// each on its own: "a\r\nb" gives "a", "", "b".
std::vector<std::string> splitAtNewlines(const std::string& text);

// Largest trigger file read: an id and a path.
inline constexpr std::size_t kUpdateTriggerLimit = 64 * 1024;

// Reads the trigger file. Absent: nothing logged. Present but not trusted (a
// symbolic link, not a regular file, owned by another user, writable by group
// or others, more than one hard link, larger than kUpdateTriggerLimit) or not
// UTF-8: removed with an error line, and absent is returned so that nothing
// named in it is touched. Present but not readable now (a descriptor limit,
// an I/O error): left as it is, with an error line, and absent returned.
std::optional<UpdateTrigger> readUpdateTrigger();

// Reads the trigger file and, when it is trusted, removes it and the package
// it names (by the rules of removeUpdatePackage). The trigger, when it was.
std::optional<UpdateTrigger> removeUpdateInProgress();

// True while a trusted trigger file (or one that cannot be read now) is in
// place: an installation awaits its close, and no other update may start.
bool updateAwaitsClose();

// Removes whatever is at the trigger file's path, never following a link;
// failures ignored.
void removeUpdateTrigger();

// Removes the package named in a trigger file, only when it is a regular file
// directly inside the product's temp folder (the resolved folders compared;
// never a folder, never through a symbolic link); failures ignored.
void removeUpdatePackage(const std::string& packagePath);

// Removes the regular files left in the product's temp folder (packages of a
// run that was killed before it could clean up). Links and folders are left.
void removeLeftoverPackages();

}  // namespace QVAgentLaunchDaemon
