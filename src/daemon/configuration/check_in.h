#pragma once
// The check-in: a bodiless, authorized POST to the URL the last configuration
// named, telling the API the computer is alive.

#include <optional>
#include <string>

#include "platform/http_session.h"

namespace QVAgentLaunchDaemon {

// Starts the request and returns at once: it runs inside the configuration
// completion handler on the session's callback queue, where its own answer
// can only be delivered after that handler has returned. An unusable URL is
// logged ("Invalid URL for checkIn") and nothing is sent. The outcome is only
// logged; 204 is success.
void checkIn();

// The check-in answer's handling, on the callback queue.
void handleCheckInAnswer(const platform::DataTaskResult& result);

}  // namespace QVAgentLaunchDaemon
