#pragma once
// The daemon's own requests: the common header set, the blocking exchange,
// and the handling of an answer with an unexpected status.

#include <functional>
#include <optional>
#include <string>

#include "platform/http_session.h"
#include "platform/result.h"

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
// "Raw JSON response:" to the text log and the value to the diagnostic log;
// otherwise fails with the parse error.
platform::Status logRawJsonResponse(const std::string& body);

// The level of a text-log line: "ERROR" or "INFO".
enum class LogLevel { error, info };

// The first steps with any answer: a transport error as the failure line
// "Request error: <error>", then "Status code: <code>", and for a status other
// than `expected` the "Request failed." handling below (at `level`). True
// only for an answer with exactly the expected status.
bool answerHasStatus(const platform::DataTaskResult& result, long expected = 200,
                     LogLevel level = LogLevel::error);

// The line "Request failed." at `level` and, when a body came, its JSON to the
// diagnostic log or "Error decoding JSON: <error>" as an error line.
void logRequestFailed(const std::optional<std::string>& body, LogLevel level = LogLevel::error);

}  // namespace QVAgentLaunchDaemon
