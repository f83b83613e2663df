#pragma once
// The framework's state: key names, the stored-state write, and the store on
// top of the product's preferences domain.

#include <functional>
#include <string>

namespace Keelbase::Lib::State {

enum class MemoryStateKeyNames { authorizationToken };
enum class StoredStateKeyNames { adminPortalBaseUrl };

// The key under which a stored-state value is persisted.
std::string keyName(StoredStateKeyNames key);

// Hands the key's stored name and the value to the given store function.
void setValue(const std::function<void(const std::string&, const std::string&)>& setValueInStore,
              StoredStateKeyNames stateKeyName, const std::string& value);

}  // namespace Keelbase::Lib::State

namespace Keelbase::Adapters::State {

// Stored state in the preferences domain of the product's bundle id (any
// user, any host), written through and synchronised at once.
class CoreFoundationPreferences {
  public:
    explicit CoreFoundationPreferences(std::function<void(const std::string&)> loggerWriteLine);
    // True once the value is on disk.
    bool SetValue(const std::string& key, const std::string& value);

  private:
    std::function<void(const std::string&)> writeLine_;
    std::string domain_;
};

}  // namespace Keelbase::Adapters::State
