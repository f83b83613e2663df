#include "keelbase/state.h"

#include "keelbase/constants.h"
#include "platform/preferences.h"

namespace Keelbase::Lib::State {

std::string keyName(StoredStateKeyNames key) {
    switch (key) {
        case StoredStateKeyNames::adminPortalBaseUrl:
            return "adminPortalBaseUrl";
    }
    return {};
}

void setValue(const std::function<void(const std::string&, const std::string&)>& setValueInStore,
              StoredStateKeyNames stateKeyName, const std::string& value) {
    setValueInStore(keyName(stateKeyName), value);
}

}  // namespace Keelbase::Lib::State

namespace Keelbase::Adapters::State {

CoreFoundationPreferences::CoreFoundationPreferences(
    std::function<void(const std::string&)> loggerWriteLine)
    : writeLine_(std::move(loggerWriteLine)), domain_(Constants::Metadata().bundleId) {}

bool CoreFoundationPreferences::SetValue(const std::string& key, const std::string& value) {
    if (platform::Preferences::setValue(key, value, domain_) &&
        platform::Preferences::synchronize(domain_)) {
        return true;
    }
    if (writeLine_)
        writeLine_("Could not save " + key + " to the preferences domain " + domain_);
    return false;
}

}  // namespace Keelbase::Adapters::State
