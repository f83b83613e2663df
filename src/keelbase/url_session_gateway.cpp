#include "keelbase/url_session_gateway.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "keelbase/paths.h"
#include "platform/files.h"
#include "platform/system_root.h"
#include "platform/time.h"

namespace Keelbase::Adapters::BaseGateway {
namespace {

bool isSuccess(long status) {
    return status >= 200 && status < 300;
}

platform::HeaderList commonHeaders(const std::string& version,
                                   const std::optional<std::string>& accept,
                                   const std::optional<std::string>& authToken) {
    platform::HeaderList headers{{"Content-Type", "application/json; charset=utf-8"}};
    if (accept)
        headers.emplace_back("Accept", *accept);
    if (authToken)
        headers.emplace_back("Authorization", *authToken);
    headers.emplace_back("x-client-name", "mac-agent");
    headers.emplace_back("x-client-version", version);
    return headers;
}

std::string randomName() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name;
    for (int i = 0; i < 16; ++i) {
        name += kAlphabet[platform::SecureRandom::instance().uniform(0, sizeof kAlphabet - 2)];
    }
    return name;
}

}  // namespace

UrlSession::UrlSession(std::string currentAgentVersion)
    : version_(std::move(currentAgentVersion)) {}

PostResult UrlSession::post(const std::string& endpointUrl,
                            const std::optional<std::string>& authToken,
                            const platform::Json& payload, int routeVersion) {
    if (!platform::isValidUrl(endpointUrl))
        throw GatewayError("Invalid URL: " + endpointUrl);
    platform::HttpRequest request;
    request.method = "POST";
    request.url = endpointUrl;
    request.headers = commonHeaders(
        version_, "application/vnd.quorvel.v" + std::to_string(routeVersion) + "+json", authToken);
    request.body = payload.dump();

    auto result = platform::HttpSession::shared().dataTaskAndWait(std::move(request));

    if (result.error)
        throw GatewayError("Request to " + endpointUrl + " failed: " + *result.error);
    if (!result.response)
        throw GatewayError("Request to " + endpointUrl + " got no response");
    if (!isSuccess(result.response->statusCode)) {
        throw GatewayError("Request to " + endpointUrl + " failed with status " +
                           std::to_string(result.response->statusCode));
    }
    return PostResult{std::move(result.body), std::move(result.response)};
}

std::string UrlSession::downloadFile(const std::string& endpointUrl,
                                     const std::string& fileExtension,
                                     const std::optional<std::string>& authToken) {
    if (!platform::isValidUrl(endpointUrl))
        throw GatewayError("Invalid URL: " + endpointUrl);
    const std::string folder = platform::SystemRoot::resolve(Paths::kTempFolder);
    if (auto created = platform::createDirectories(folder, 0700); created.failed()) {
        throw GatewayError("Download of " + endpointUrl + " failed: " + created.error());
    }
    ::chmod(folder.c_str(), 0700);

    platform::HttpRequest request;
    request.method = "GET";
    request.url = endpointUrl;
    request.headers = commonHeaders(version_, std::nullopt, authToken);

    auto result = platform::HttpSession::shared().downloadTaskAndWait(std::move(request), folder);

    auto discard = [&] {
        if (result.location) {
            std::error_code ec;
            std::filesystem::remove(*result.location, ec);
        }
    };
    if (result.error) {
        discard();
        throw GatewayError("Download of " + endpointUrl + " failed: " + *result.error);
    }
    if (!result.response || !result.location || !isSuccess(result.response->statusCode)) {
        discard();
        throw GatewayError("Download of " + endpointUrl + " failed with status " +
                           std::to_string(result.response ? result.response->statusCode : 0));
    }
    std::string extension = fileExtension;
    if (!extension.empty() && extension.front() != '.')
        extension.insert(extension.begin(), '.');
    const std::string target = folder + "/update-" + randomName() + extension;
    std::error_code ec;
    std::filesystem::rename(*result.location, target, ec);
    if (ec) {
        discard();
        throw GatewayError("Download of " + endpointUrl + " could not be stored: " + ec.message());
    }
    return target;
}

}  // namespace Keelbase::Adapters::BaseGateway
