#include "daemon/core/identity.h"

#include <utility>

#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "daemon/core/retries.h"
#include "daemon/core/shared_value.h"
#include "platform/lifetime.h"
#include "platform/preferences.h"
#include "platform/system_root.h"
#include "platform/trusted_file.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

// An identifier issued this run that is not on disk yet.
SharedOptionalString& awaitingWrite() {
    static platform::ProcessLifetime<SharedOptionalString> held;
    return *held;
}

bool writeComputerId(const std::string& computerId) {
    return platform::Preferences::setValue("computerId", computerId, BUNDLE_ID) &&
           platform::Preferences::synchronize(BUNDLE_ID);
}

// One more try of the held identifier's write; true once it is on disk.
bool writeHeldComputerId() {
    const auto held = awaitingWrite().get();
    if (!held)
        return true;
    if (!writeComputerId(*held))
        return false;
    awaitingWrite().set(std::nullopt);
    Logging::WriteLine("Computer ID saved to state");
    removeInstallerConfiguration();
    return true;
}

}  // namespace

StoredIdentity readStoredIdentity() {
    if (auto held = awaitingWrite().get())
        return {std::move(held), false};
    const auto lookup = platform::Preferences::lookUp("computerId", BUNDLE_ID);
    StoredIdentity identity;
    identity.unreadable = lookup.unavailable;
    if (lookup.value) {
        identity.computerId = lookup.value->asString();
        if (!identity.computerId)
            Logging::WriteError("Stored computerId is not a string; it is ignored.");
    }
    return identity;
}

std::optional<std::string> storedComputerId() {
    return readStoredIdentity().computerId;
}

bool storeComputerId(const std::string& computerId) {
    if (writeComputerId(computerId))
        return true;
    const bool retrying = awaitingWrite().get().has_value();
    awaitingWrite().set(computerId);
    if (!retrying)
        retryOnConfigurationSchedule(writeHeldComputerId);
    return false;
}

bool computerIdAwaitsWrite() {
    return awaitingWrite().get().has_value();
}

void removeInstallerConfiguration() {
    if (!computerIdAwaitsWrite())
        (void)platform::removeEntryNoFollow(
            platform::SystemRoot::resolve(kInstallerConfigurationFile));
}

}  // namespace QVAgentLaunchDaemon
