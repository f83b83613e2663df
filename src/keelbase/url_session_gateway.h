#pragma once
// The framework's authenticated transport: JSON POSTs to the API and file
// downloads, each blocking until the exchange ends.

#include <optional>
#include <stdexcept>
#include <string>

#include "platform/http_session.h"
#include "platform/json.h"

namespace Keelbase {

// A failed framework request; the message names the URL and the status or the
// transport error.
class GatewayError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace Keelbase

namespace Keelbase::Adapters::BaseGateway {

struct PostResult {
    std::optional<std::string> data;
    std::optional<platform::HttpResponse> response;
};

class UrlSession {
  public:
    explicit UrlSession(std::string currentAgentVersion);

    // POST with a JSON body and the headers Content-Type, Accept
    // (application/vnd.quorvel.v<routeVersion>+json), Authorization (the token as
    // held), x-client-name and x-client-version; 60-second time-out. Any 2xx is
    // success; anything else, or a transport error, throws GatewayError.
    PostResult post(const std::string& endpointUrl, const std::optional<std::string>& authToken,
                    const platform::Json& payload, int routeVersion);

    // GET streamed into a new 0600 file in the product's temp folder, named
    // update-<random><fileExtension>. A non-2xx answer or a transport error
    // removes the partial file and throws GatewayError. Returns the file's path.
    std::string downloadFile(const std::string& endpointUrl, const std::string& fileExtension,
                             const std::optional<std::string>& authToken);

  private:
    std::string version_;
};

}  // namespace Keelbase::Adapters::BaseGateway
