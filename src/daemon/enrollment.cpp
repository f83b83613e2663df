#include "daemon/enrollment.h"

#include <filesystem>
#include <system_error>

#include "daemon/app_core.h"
#include "daemon/globals.h"
#include "daemon/requests.h"
#include "daemon/shell.h"
#include "platform/files.h"
#include "platform/preferences.h"
#include "platform/system_root.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

constexpr const char* kInstallerConfigurationFile = "/tmp/qvconfig";

constexpr const char* kProductVersionCommand = "sw_vers -productVersion";
constexpr const char* kBuildVersionCommand = "sw_vers -buildVersion";
constexpr const char* kComputerNameCommand = "scutil --get ComputerName";
constexpr const char* kBootVolumeUuidCommand =
    R"(diskutil info / | grep "Volume UUID" | awk '{if (match($0, /[A-F0-9\-]{36}/)) print substr($0, RSTART, RLENGTH)}')";
constexpr const char* kHardwareUuidCommand =
    R"(ioreg -rd1 -c IOPlatformExpertDevice | grep IOPlatformUUID | awk -F '"' '{print $4}')";

platform::Json orNull(const std::optional<std::string>& value) {
    return value ? platform::Json(*value) : platform::Json(nullptr);
}

platform::Json machineData(const MachineFacts& facts) {
    return {{"machineName", orNull(facts.computerName)},
            {"serialNumber", orNull(facts.bootVolumeUuid)},
            {"operatingSystem",
             {{"name", "macOS"},
              {"version", orNull(facts.productVersion)},
              {"build", orNull(facts.buildVersion)}}}};
}

// Compact JSON; absent when the value cannot be serialised (text that is not
// UTF-8).
std::optional<std::string> serialize(const platform::Json& body) {
    try {
        return body.dump();
    } catch (const platform::Json::exception&) {
        return std::nullopt;
    }
}

// The installer's file holds the three fields on one line, separated by the
// two characters backslash and n. awk prints the field of every line, so a
// file of several lines gives each field's values joined by line feeds.
InstallerConfiguration readInstallerConfiguration() {
    if (!platform::fileExists(platform::SystemRoot::resolve(kInstallerConfigurationFile)))
        return {"", "", ""};
    const std::string cat =
        "cat " + platform::SystemRoot::forCommandLine(kInstallerConfigurationFile);
    const auto contents = tryShell(cat);
    Logging::TitleLine("QVConfig");
    Logging::WriteLine("Contents of QVConfig: " + contents.value_or("None"));

    auto field = [&](int number) {
        return tryShell(cat + R"( | awk 'BEGIN{FS="\\\\n"} {print $)" + std::to_string(number) +
                        "}'");
    };
    InstallerConfiguration configuration{field(1), field(2), field(3)};
    Logging::WriteLine("License Key: " + configuration.licenseKey.value_or("none"));
    Logging::WriteLine("Company Name: " + configuration.companyName.value_or("none"));
    Logging::WriteLine("LocationName: " + configuration.locationName.value_or("none"));
    return configuration;
}

void removeInstallerConfiguration() {
    std::error_code ignored;
    std::filesystem::remove(platform::SystemRoot::resolve(kInstallerConfigurationFile), ignored);
}

// The registration answer: an object with the string "id"; other keys ignored.
struct RegistrationDTO {
    std::string computerId;
};

std::optional<RegistrationDTO> decodeRegistration(const std::optional<std::string>& body,
                                                  std::string& error) {
    auto json = platform::parseJson(body.value_or(""), &error);
    if (!json)
        return std::nullopt;
    if (!json->is_object()) {
        error = "Expected to decode a dictionary but found " + std::string(json->type_name());
        return std::nullopt;
    }
    auto id = json->find("id");
    if (id == json->end()) {
        error = "No value associated with key \"id\"";
        return std::nullopt;
    }
    if (!id->is_string()) {
        error =
            "Expected to decode a string for key \"id\" but found " + std::string(id->type_name());
        return std::nullopt;
    }
    return RegistrationDTO{id->get<std::string>()};
}

std::string describe(const RegistrationDTO& dto) {
    return "RegistrationDTO(computerId: " + platform::Json(dto.computerId).dump() + ")";
}

// Stores the identifier for every later start; true once it is on disk.
bool storeComputerId(const std::string& computerId) {
    platform::Preferences::setValue("computerId", computerId, BUNDLE_ID);
    return platform::Preferences::synchronize(BUNDLE_ID);
}

}  // namespace

MachineFacts readMachineFacts() {
    MachineFacts facts;
    facts.productVersion = tryShell(kProductVersionCommand);
    facts.buildVersion = tryShell(kBuildVersionCommand);
    facts.computerName = tryShell(kComputerNameCommand);
    facts.bootVolumeUuid = tryShell(kBootVolumeUuidCommand);
    return facts;
}

platform::Json loginBody(const MachineFacts& facts) {
    return {{"platform", "mac"}, {"data", machineData(facts)}};
}

platform::Json registrationBody(const MachineFacts& facts,
                                const std::optional<std::string>& hardwareUuid,
                                const InstallerConfiguration& configuration) {
    return {{"platform", "mac"},
            {"licenseKey", orNull(configuration.licenseKey)},
            {"companyName", orNull(configuration.companyName)},
            {"locationName", orNull(configuration.locationName)},
            {"machineId", orNull(hardwareUuid)},
            {"data", machineData(facts)}};
}

std::optional<std::string> login(const std::string& computerId) {
    Logging::WriteLine("Logging in as computerID: " + computerId);
    const auto body = serialize(loginBody(readMachineFacts()));
    Logging::WriteLine("Log in payload is ready");
    if (!body) {
        Logging::WriteError("Failed to serialize JSON");
        return std::nullopt;
    }
    // The identifier goes into the path as stored; one holding characters a
    // URL cannot carry makes the URL invalid and nothing is sent.
    const std::string url = checkInBaseUrl + "/computers/" + computerId + "/login";
    if (!platform::isValidUrl(url)) {
        Logging::WriteError("Invalid URL");
        return std::nullopt;
    }
    auto request = makeRequest("POST", url, {}, *body);
    Logging::WriteLine("Making login request");

    std::optional<std::string> token;
    sendAndWait(std::move(request), [&token](const platform::DataTaskResult& result) {
        if (!answerHasStatus(result))
            return;
        // Header names are matched ignoring case (HTTP/2 sends them in lower
        // case); the value is the token as the server wrote it.
        if (auto header = result.response->headerIgnoringCase("Authorization")) {
            Logging::WriteLine("Authorization header found.");
            token = std::move(header);
        } else {
            Logging::WriteLine("Authorization header not found.");
        }
    });
    Logging::WriteLine("Login Complete!");
    return token;
}

void registerComputer() {
    Logging::WriteLine("Registering computer...");
    const MachineFacts facts = readMachineFacts();
    const auto hardwareUuid = tryShell(kHardwareUuidCommand);
    const InstallerConfiguration configuration = readInstallerConfiguration();

    const auto body = serialize(registrationBody(facts, hardwareUuid, configuration));
    Logging::WriteLine("Registation payload ready");
    if (!body) {
        Logging::WriteError("Failed to serialize JSON");
        return;
    }
    const std::string url = deploymentBaseUrl + "/computers/mac";
    if (!platform::isValidUrl(url)) {
        Logging::WriteError("Invalid URL");
        return;
    }
    auto request = makeRequest("POST", url, {}, *body);
    Logging::WriteLine("Making registration request");

    std::optional<std::string> computerId;
    bool stored = false;
    sendAndWait(std::move(request), [&](const platform::DataTaskResult& result) {
        if (!answerHasStatus(result))
            return;
        std::string error;
        auto dto = decodeRegistration(result.body, error);
        if (!dto) {
            Logging::WriteError("Failed to decode JSON: " + error);
            return;
        }
        Logging::WriteLine("Parsed Todo: " + describe(*dto));
        Logging::WriteLine(dto->computerId);
        computerId = dto->computerId;
        Logging::WriteLine("Setting computer id to state");
        stored = storeComputerId(*computerId);
        if (stored) {
            Logging::WriteLine("Computer ID saved to state");
        } else {
            Logging::WriteError("Computer ID could not be saved to state");
        }
    });
    Logging::WriteLine("Registration Complete!");

    if (!computerId) {
        Logging::WriteLine("Computer ID is nil. No attempt to log in after registration");
        return;
    }
    // Only an identifier on disk makes the customer key dispensable: until
    // then the next attempt, or the next start, registers with it again.
    if (stored)
        removeInstallerConfiguration();

    Logging::WriteLine("Attempt to log in after registration");
    auto token = login(*computerId);
    authorizationToken.set(token);
    App::Core::State::SetValueInMemory(App::Core::State::MemoryKey::authorizationToken,
                                       std::move(token));
}

}  // namespace QVAgentLaunchDaemon
