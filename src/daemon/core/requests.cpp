#include "daemon/core/requests.h"

#include "daemon/core/app_core.h"
#include "daemon/core/diagnostic_log.h"
#include "platform/json.h"

namespace QVAgentLaunchDaemon {

platform::HttpRequest makeRequest(const std::string& method, const std::string& url,
                                  const RequestHeaders& headers, std::optional<std::string> body) {
    platform::HttpRequest request;
    request.method = method;
    request.url = url;
    request.headers.emplace_back("Content-Type", "application/json; charset=utf-8");
    if (headers.accept)
        request.headers.emplace_back("Accept", *headers.accept);
    if (headers.authorization)
        request.headers.emplace_back("Authorization", *headers.authorization);
    request.headers.emplace_back("x-client-name", "mac-agent");
    request.headers.emplace_back("x-client-version", App::Core::Metadata::version());
    request.body = std::move(body);
    return request;
}

void sendAndWait(platform::HttpRequest request,
                 const std::function<void(const platform::DataTaskResult&)>& handler) {
    platform::HttpSession::shared().dataTaskAndWait(std::move(request), handler);
}

void sendWithoutWaiting(platform::HttpRequest request,
                        std::function<void(const platform::DataTaskResult&)> handler) {
    platform::HttpSession::shared().dataTask(
        std::move(request),
        [handler = std::move(handler)](platform::DataTaskResult result) { handler(result); });
}

void logStatusCode(long statusCode) {
    App::Core::Logging::WriteLine("Status code: " + std::to_string(statusCode));
}

platform::Status logRawJsonResponse(const std::string& body) {
    auto json = platform::parseJson(body);
    if (json.failed())
        return json.status();
    App::Core::Logging::WriteLine("Raw JSON response:");
    log(*json, false);
    return platform::Status::success();
}

void logRequestFailed(const std::optional<std::string>& body, LogLevel level) {
    if (level == LogLevel::info)
        App::Core::Logging::WriteLine("Request failed.");
    else
        App::Core::Logging::WriteError("Request failed.");
    if (!body)
        return;
    if (auto logged = logRawJsonResponse(*body); logged.failed()) {
        App::Core::Logging::WriteError("Error decoding JSON: " + logged.error());
    }
}

bool answerHasStatus(const platform::DataTaskResult& result, long expected, LogLevel level) {
    if (result.error) {
        App::Core::Logging::WriteError("Request error: " + *result.error);
        return false;
    }
    if (!result.response)
        return false;
    logStatusCode(result.response->statusCode);
    if (result.response->statusCode != expected) {
        logRequestFailed(result.body, level);
        return false;
    }
    return true;
}

}  // namespace QVAgentLaunchDaemon
