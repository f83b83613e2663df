#pragma once
// The daemon's own requests: the common header set, the blocking exchange,
// and the handling of an answer with an unexpected status.

#include <functional>
#include <optional>
#include <string>

#include "platform/http_session.h"

namespace QVAgentLaunchDaemon {

struct RequestHeaders {
    std::optional<std::string> accept;         // sent as "Accept" when present
    std::optional<std::string> authorization;  // sent verbatim as "Authorization" when present
};

// A request with the session's time-out and the headers, in this order:
// Content-Type, Accept, Authorization, x-client-name, x-client-version.
platform::HttpRequest makeRequest(const std::string& method, const std::string& url,
                                  const RequestHeaders& headers = {},
                                  std::optional<std::string> body = std::nullopt);

// Starts the data task and blocks until `handler` has run to its end on the
// session's callback queue; an exception it throws is rethrown here.
void sendAndWait(platform::HttpRequest request,
                 const std::function<void(const platform::DataTaskResult&)>& handler);

// Starts the data task and returns at once; `handler` runs later on the
// callback queue.
void sendWithoutWaiting(platform::HttpRequest request,
                        std::function<void(const platform::DataTaskResult&)> handler);

// "Status code: <code>" on the text log.
void logStatusCode(long statusCode);

// Parses the body as JSON (a bare value allowed). On success writes
// "Raw JSON response:" to the text log and the value to the diagnostic log and
// returns absent; otherwise returns the parse error.
std::optional<std::string> logRawJsonResponse(const std::string& body);

enum class LineKind { failure, ordinary };

// The first steps with any answer: a transport error as the failure line
// "Request error: <error>", then "Status code: <code>", and for a status other
// than `expected` the "Request failed." handling below. True only for an
// answer with the expected status.
bool answerHasStatus(const platform::DataTaskResult& result, long expected = 200,
                     LineKind kind = LineKind::failure);

// The line "Request failed." (a failure line unless `kind` says otherwise)
// and, when a body came, its JSON to the diagnostic log or
// "Error decoding JSON: <error>" as a failure line.
void logRequestFailed(const std::optional<std::string>& body, LineKind kind = LineKind::failure);

}  // namespace QVAgentLaunchDaemon
