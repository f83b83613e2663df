#include "daemon/configuration/check_in.h"

#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "daemon/core/requests.h"

namespace QVAgentLaunchDaemon {

using App::Core::Logging;

void checkIn() {
    Logging::WriteLine("Performing check-in");
    const std::string url = Endpoints::postCheckIn.get().value_or("");
    if (!platform::isValidUrl(url)) {
        Logging::WriteError("Invalid URL for checkIn");
        return;
    }
    // No Accept header; the token as held, or empty when none is.
    auto request = makeRequest(
        "POST", url,
        {.accept = std::nullopt, .authorization = authorizationToken.get().value_or("")});
    Logging::WriteLine("Making check-in request");
    sendWithoutWaiting(std::move(request), handleCheckInAnswer);
}

void handleCheckInAnswer(const platform::DataTaskResult& result) {
    if (result.error || !result.response)
        return;
    logStatusCode(result.response->statusCode);
    if (result.response->statusCode == 204)
        return;
    logRequestFailed(result.body);
}

}  // namespace QVAgentLaunchDaemon
