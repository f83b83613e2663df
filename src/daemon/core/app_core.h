#pragma once
// App::Core: the daemon's single seam to the framework. Namespace types that
// are never instantiated; every static is created on first use, exactly once,
// thread-safely.

#include <functional>
#include <optional>
#include <string>

#include "keelbase/constants.h"
#include "keelbase/rest_gateways.h"
#include "keelbase/state.h"
#include "keelbase/text_document.h"
#include "keelbase/url_session_gateway.h"

namespace QVAgentLaunchDaemon::App::Core {

struct Metadata {
    static Keelbase::Constants::Metadata& metadataStore();
    static const std::string& bundleId();
    static const std::string& version();
};

struct Gateway {
    static const std::string& adminPortalBaseUrl();
    static const std::string& checkInBaseUrl();
    static const std::string& realtimeBaseUrl();
    static const std::string& deploymentBaseUrl();

  private:
    static Keelbase::Constants::ApiBaseUrls& apiEndpoints();
};

struct Logging {
    static void Start(const std::string& formattedStartTime,
                      std::function<bool()> getIsDiagnosticLoggingEnabled);
    static void TitleLine(const std::string& message);
    static void WriteLine(const std::string& message);
    static void WriteError(const std::string& message);

  private:
    static Keelbase::Adapters::Logging::TextDocument& logger();
};

struct State {
    using MemoryKey = Keelbase::Lib::State::MemoryStateKeyNames;
    using StoredKey = Keelbase::Lib::State::StoredStateKeyNames;

    static Keelbase::Adapters::State::CoreFoundationPreferences& store();
    // True once the value is on disk.
    static bool SetValue(StoredKey stateKeyName, const std::string& value);
    static void SetValueInMemory(MemoryKey stateKeyName, std::optional<std::string> value);
    static std::optional<std::string> GetValueFromMemory(MemoryKey stateKeyName);
};

struct Computers {
    static Keelbase::Adapters::BaseGateway::UrlSession& baseGateway();
    static Keelbase::Adapters::ComputersGateway::REST& gateway();
    static void pendingActionCompleted(const std::string& actionType);
};

struct ComputerStates {
    static Keelbase::Adapters::BaseGateway::UrlSession& baseGateway();
    static Keelbase::Adapters::ComputerStatesGateway::REST& gateway();
    static void send();
};

struct AgentUpdateRequests {
    static Keelbase::Adapters::BaseGateway::UrlSession& baseGateway();
    static Keelbase::Adapters::AgentUpdateRequestsGateway::REST& gateway();
    static Keelbase::Lib::AgentUpdateRequests::Entity createRequest(
        const std::string& agentUpdateId, const std::string& currentVersion);
    static void updateStatusToStarted(const std::string& agentUpdateId);
    static void updateStatusToDownloadStarted(const std::string& agentUpdateId);
    static void updateStatusToDownloadFailed(const std::string& agentUpdateId);
    static void updateStatusToVerificationFailed(const std::string& agentUpdateId);
    static void updateStatusToFailed(const std::string& agentUpdateId,
                                     const std::string& errorMessage);
    static void updateStatusToCompleted(const std::string& agentUpdateId);
};

struct AgentUpdates {
    static Keelbase::Adapters::BaseGateway::UrlSession& gateway();
    // The local path of the downloaded package (extension ".pkg").
    static std::string downloadAgentUpdate(const std::string& payloadUrl);
};

}  // namespace QVAgentLaunchDaemon::App::Core
