#include "daemon/core/app_core.h"

#include <map>
#include <mutex>

#include "platform/http_session.h"
#include "platform/lifetime.h"

namespace QVAgentLaunchDaemon::App::Core {
namespace {

using Keelbase::Adapters::BaseGateway::UrlSession;

// The post function handed to a REST gateway: forwards to its resource's own
// URL-session gateway.
Keelbase::Adapters::PostFunction forwardTo(UrlSession& session) {
    return [&session](const std::string& url, const std::optional<std::string>& token,
                      const platform::Json& payload,
                      int routeVersion) { return session.post(url, token, payload, routeVersion); };
}

std::optional<std::string> currentToken() {
    return State::GetValueFromMemory(State::MemoryKey::authorizationToken);
}

struct MemoryStore {
    std::mutex mutex;
    std::map<State::MemoryKey, std::string> values;
};

MemoryStore& memoryStore() {
    static MemoryStore store;
    return store;
}

}  // namespace

Keelbase::Constants::Metadata& Metadata::metadataStore() {
    static Keelbase::Constants::Metadata store;
    return store;
}
const std::string& Metadata::bundleId() {
    static const std::string value = metadataStore().bundleId;
    return value;
}
const std::string& Metadata::version() {
    static const std::string value = metadataStore().version;
    return value;
}

Keelbase::Constants::ApiBaseUrls& Gateway::apiEndpoints() {
    static Keelbase::Constants::ApiBaseUrls endpoints;
    return endpoints;
}
const std::string& Gateway::adminPortalBaseUrl() {
    static const std::string value = apiEndpoints().adminPortalBaseUrl;
    return value;
}
const std::string& Gateway::checkInBaseUrl() {
    static const std::string value = apiEndpoints().checkInBaseUrl;
    return value;
}
const std::string& Gateway::realtimeBaseUrl() {
    static const std::string value = apiEndpoints().realtimeBaseUrl;
    return value;
}
const std::string& Gateway::deploymentBaseUrl() {
    static const std::string value = apiEndpoints().deploymentBaseUrl;
    return value;
}

Keelbase::Adapters::Logging::TextDocument& Logging::logger() {
    // Every thread logs, the detached ones to the end of the process.
    static platform::ProcessLifetime<Keelbase::Adapters::Logging::TextDocument> logger("TotalLog");
    return *logger;
}
void Logging::Start(const std::string& formattedStartTime,
                    std::function<bool()> getIsDiagnosticLoggingEnabled) {
    logger().Start(formattedStartTime, std::move(getIsDiagnosticLoggingEnabled));
}
void Logging::TitleLine(const std::string& message) {
    logger().WriteTitleLine(message);
}
void Logging::WriteLine(const std::string& message) {
    logger().WriteLine(message);
}
void Logging::WriteError(const std::string& message) {
    logger().WriteError(message);
}

Keelbase::Adapters::State::CoreFoundationPreferences& State::store() {
    static Keelbase::Adapters::State::CoreFoundationPreferences store(
        [](const std::string& line) { Logging::WriteLine(line); });
    return store;
}
bool State::SetValue(StoredKey stateKeyName, const std::string& value) {
    bool stored = false;
    Keelbase::Lib::State::setValue(
        [&stored](const std::string& key, const std::string& v) {
            stored = store().SetValue(key, v);
        },
        stateKeyName, value);
    return stored;
}
void State::SetValueInMemory(MemoryKey stateKeyName, std::optional<std::string> value) {
    auto& memory = memoryStore();
    std::lock_guard lock(memory.mutex);
    if (value) {
        memory.values[stateKeyName] = std::move(*value);
    } else {
        memory.values.erase(stateKeyName);
    }
}
std::optional<std::string> State::GetValueFromMemory(MemoryKey stateKeyName) {
    auto& memory = memoryStore();
    std::lock_guard lock(memory.mutex);
    auto it = memory.values.find(stateKeyName);
    if (it == memory.values.end())
        return std::nullopt;
    return it->second;
}

UrlSession& Computers::baseGateway() {
    static UrlSession session(Metadata::version());
    return session;
}
Keelbase::Adapters::ComputersGateway::REST& Computers::gateway() {
    static Keelbase::Adapters::ComputersGateway::REST rest(
        forwardTo(baseGateway()), Gateway::realtimeBaseUrl(), currentToken);
    return rest;
}
void Computers::pendingActionCompleted(const std::string& actionType) {
    gateway().pendingActionCompleted(actionType);
}

UrlSession& ComputerStates::baseGateway() {
    static UrlSession session(Metadata::version());
    return session;
}
Keelbase::Adapters::ComputerStatesGateway::REST& ComputerStates::gateway() {
    static Keelbase::Adapters::ComputerStatesGateway::REST rest(
        forwardTo(baseGateway()), Gateway::realtimeBaseUrl(), currentToken);
    return rest;
}
void ComputerStates::send() {
    gateway().create(Metadata::version());
}

UrlSession& AgentUpdateRequests::baseGateway() {
    static UrlSession session(Metadata::version());
    return session;
}
Keelbase::Adapters::AgentUpdateRequestsGateway::REST& AgentUpdateRequests::gateway() {
    static Keelbase::Adapters::AgentUpdateRequestsGateway::REST rest(
        forwardTo(baseGateway()), Gateway::realtimeBaseUrl(), currentToken);
    return rest;
}
Keelbase::Lib::AgentUpdateRequests::Entity AgentUpdateRequests::createRequest(
    const std::string& agentUpdateId, const std::string& currentVersion) {
    return gateway().createRequest(agentUpdateId, currentVersion);
}
void AgentUpdateRequests::updateStatusToStarted(const std::string& id) {
    gateway().updateStatusToStarted(id);
}
void AgentUpdateRequests::updateStatusToDownloadStarted(const std::string& id) {
    gateway().updateStatusToDownloadStarted(id);
}
void AgentUpdateRequests::updateStatusToDownloadFailed(const std::string& id) {
    gateway().updateStatusToDownloadFailed(id);
}
void AgentUpdateRequests::updateStatusToVerificationFailed(const std::string& id) {
    gateway().updateStatusToVerificationFailed(id);
}
void AgentUpdateRequests::updateStatusToFailed(const std::string& id,
                                               const std::string& errorMessage) {
    gateway().updateStatusToFailed(id, errorMessage);
}
void AgentUpdateRequests::updateStatusToCompleted(const std::string& id) {
    gateway().updateStatusToCompleted(id);
}

UrlSession& AgentUpdates::gateway() {
    static UrlSession session(Metadata::version());
    return session;
}
std::string AgentUpdates::downloadAgentUpdate(const std::string& payloadUrl) {
    // The token goes only to the API itself, never to a storage service.
    const bool toApi = platform::sameOrigin(payloadUrl, Gateway::realtimeBaseUrl());
    return gateway().downloadFile(payloadUrl, ".pkg", toApi ? currentToken() : std::nullopt);
}

}  // namespace QVAgentLaunchDaemon::App::Core
