#include "daemon/provisioning/addigy.h"
#include "daemon/core/task_edge.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "daemon/core/paths.h"
#include "daemon/core/requests.h"
#include "daemon/core/shell.h"
#include "daemon/provisioning/support_app.h"
#include "platform/files.h"
#include "platform/http_session.h"
#include "platform/json.h"
#include "platform/preferences.h"
#include "platform/process.h"
#include "platform/system_root.h"
#include "platform/text.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;
using platform::JsonDecoder;

constexpr const char* kTempDirectory = Keelbase::Paths::kTempFolder;
const std::string kPackagePath = std::string(kTempDirectory) + "/addigy.pkg";
constexpr const char* kAgentIdKey = "agentId";

// Any 2xx status (answerHasStatus checks for one exact status, and logs).
bool isStatus2xx(long status) {
    return status >= 200 && status < 300;
}

// The download link of a 200 answer, or absent after logging why there is none.
void handleDownloadLinkAnswer(const platform::DataTaskResult& result,
                              std::optional<std::string>& downloadLink) {
    // The download link reports a refusal as an ordinary line.
    if (!answerHasStatus(result, 200, LogLevel::info))
        return;
    auto decoded = platform::decodeJson(result.body.value_or(""), [](const JsonDecoder& in) {
        try {
            return in.string("downloadLink");
        } catch (const JsonDecoder::Error&) {
            // The line operators search for when the link is absent.
            throw JsonDecoder::Error{"the key \"downloadLink\" is missing or not a string"};
        }
    });
    if (decoded.failed()) {
        Logging::WriteError("Failed to decode JSON: " + decoded.error());
        return;
    }
    const std::string link = *decoded;
    Logging::WriteLine("Parsed Todo: GetDownloadLinkDTO(downloadLink: \"" + link + "\")");
    Logging::WriteLine(link);
    downloadLink = link;
    Logging::WriteLine("Download link acquired. Value: [" + link + "]");
}

// Moves the downloaded body to the package path, replacing a package an
// earlier run left behind.
void savePackage(const platform::DownloadTaskResult& result, const std::string& packagePath) {
    if (result.error) {
        Logging::WriteError("Download error: " + *result.error);
        return;
    }
    if (!result.location) {
        Logging::WriteLine("No file downloaded.");
        return;
    }
    // An error page is no package: nothing is saved, so nothing is installed.
    if (!result.response || !isStatus2xx(result.response->statusCode)) {
        Logging::WriteError("Download error: the server answered with status " +
                            std::to_string(result.response ? result.response->statusCode : 0));
        std::error_code ignored;
        std::filesystem::remove(*result.location, ignored);
        return;
    }
    const std::string locationUrl = "file://" + result.location->string();
    Logging::WriteLine("File downloaded to: " + locationUrl);
    std::error_code ec;
    if (platform::fileExists(packagePath)) {
        Logging::WriteLine("Old temporary Addigy installer found. Removing...");
        std::filesystem::remove_all(packagePath, ec);
        if (!ec)
            Logging::WriteLine("Old temporary Addigy installer removed.");
    }
    if (!ec)
        std::filesystem::rename(*result.location, packagePath, ec);
    if (ec) {
        Logging::WriteError("File move error: " + ec.message());
        std::error_code ignored;
        std::filesystem::remove(*result.location, ignored);
        return;
    }
    Logging::WriteLine("Addigy Installer File moved from: " + locationUrl +
                       " and saved to: " + kPackagePath);
}

void runInstaller(const std::string& packagePath) {
    platform::ProcessResult result;
    try {
        result = runPackageInstaller(packagePath);
    } catch (const platform::LaunchError& error) {
        Logging::WriteError(std::string("Error running installer: ") + error.what());
        return;
    }
    if (result.exitStatus == 0) {
        Logging::WriteLine("Installation succeeded");
        return;
    }
    Logging::WriteError("Installation failed with exit code " + std::to_string(result.exitStatus));
    if (platform::isValidUtf8(result.output))
        Logging::WriteError("Error output: " + result.output);
}

void linkAgentId() {
    const std::string agentId = QVSupportApp::getAgentID();
    const auto stored = platform::Preferences::copyValue(kAgentIdKey, BUNDLE_ID);
    const auto storedString = stored ? stored->asString() : std::nullopt;
    if (storedString && *storedString == agentId) {
        Logging::WriteLine("Already linked with the same agentId - skipping step " + agentId +
                           " == " + *storedString);
        return;
    }
    Logging::WriteLine("New Agent ID found. Setting Agent ID to state.");
    (void)platform::Preferences::setValue(kAgentIdKey, agentId, BUNDLE_ID);  // failures reported
    (void)platform::Preferences::synchronize(BUNDLE_ID);
    Logging::WriteLine("Agent ID saved to state.");

    const std::string body = platform::Json{{"agentId", agentId}}.dump();
    const std::string url = realtimeBaseUrl + "/addigy/link-agent-id";
    if (!platform::isValidUrl(url)) {
        Logging::WriteError("Invalid URL");
        return;
    }
    Logging::WriteLine("Making request to link Agent ID to Computer record in Quorvel API.");
    const auto token = authorizationToken.get();
    if (!token) {
        Logging::WriteError("Authorization token is nil");
        return;
    }
    long status = 0;
    sendAndWait(makeRequest("POST", url, {.accept = std::nullopt, .authorization = *token}, body),
                [&](const platform::DataTaskResult& result) {
                    if (result.error) {
                        Logging::WriteError("Request error: " + *result.error);
                        return;
                    }
                    if (!result.response)
                        return;
                    status = result.response->statusCode;
                    logStatusCode(status);
                    if (!result.body)
                        return;
                    if (auto logged = logRawJsonResponse(*result.body); logged.failed())
                        Logging::WriteError("Error decoding JSON: " + logged.error());
                });
    // Only an answer the server accepted counts as a link.
    if (isStatus2xx(status))
        Logging::WriteLine("Computer successfully linked to Agent Id: " + agentId);
    else
        Logging::WriteError("Request failed.");
}

}  // namespace

void verifyAddigyInstallation(const std::string& computerId) {
    Logging::WriteLine("Start verifyAddigyInstallation");
    const std::string agentExecutable = platform::SystemRoot::resolve(kMdmAgentExecutable);
    const std::string tempDirectory = platform::SystemRoot::resolve(kTempDirectory);
    const std::string packagePath = platform::SystemRoot::resolve(kPackagePath);

    if (!platform::fileExists(tempDirectory)) {
        if (auto created = platform::createDirectories(tempDirectory, 0700); created.failed())
            Logging::WriteError("Failed to create directory: " + created.error());
        else
            Logging::WriteLine(std::string("Directory created at: ") + kTempDirectory);
    }
    if (platform::fileExists(agentExecutable)) {
        Logging::WriteLine("Addigy Installation Verification Complete - Addigy already installed.");
        return;
    }
    Logging::WriteLine("Addigy Installation Verification Complete - Addigy not already installed.");

    const std::string url = realtimeBaseUrl + "/addigy/computer/" +
                            platform::percentEncodePathSegment(computerId) + "/downloadLink";
    if (!platform::isValidUrl(url)) {
        Logging::WriteError("Invalid URL");
        return;
    }
    auto request = makeRequest(
        "GET", url,
        {.accept = std::nullopt, .authorization = authorizationToken.get().value_or("")});
    Logging::WriteLine("Making request to get Addigy download link for computer");
    auto downloadLink = std::make_shared<std::optional<std::string>>();
    sendAndWait(std::move(request), [downloadLink](const platform::DataTaskResult& result) {
        handleDownloadLinkAnswer(result, *downloadLink);
    });
    if (!*downloadLink) {
        Logging::WriteLine("Download link not available.");
        return;
    }
    Logging::WriteLine("Download link available.");
    const std::string link = **downloadLink;
    if (!platform::isValidUrl(link)) {
        // A link that is no URL cannot be downloaded: end as without a link.
        Logging::WriteError("Invalid download link: " + link);
        Logging::WriteLine("Download link not available.");
        return;
    }

    Logging::WriteLine("Starting Addigy download.");
    platform::HttpRequest download;
    download.method = "GET";
    download.url = link;
    savePackage(
        platform::HttpSession::shared().downloadTaskAndWait(std::move(download), tempDirectory),
        packagePath);
    Logging::WriteLine("Download task completed.");
    Logging::WriteLine("Installing Addigy...");
    runInstaller(packagePath);
    std::error_code ignored;
    std::filesystem::remove_all(packagePath, ignored);
    Logging::WriteLine("Finished addigy installation.");
}

void linkComputerToAgentId() {
    Logging::WriteLine("Linking Computer to Agent ID");
    detachTask("qv-link-agent", linkAgentId);
}

}  // namespace QVAgentLaunchDaemon
