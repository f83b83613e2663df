#include "daemon/enrollment/enrollment.h"

#include "daemon/core/app_core.h"
#include "daemon/core/globals.h"
#include "daemon/core/identity.h"
#include "daemon/core/requests.h"
#include "daemon/core/shell.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system_root.h"
#include "platform/text.h"
#include "platform/trusted_file.h"

namespace QVAgentLaunchDaemon {
namespace {

using App::Core::Logging;

constexpr std::size_t kInstallerConfigurationLimit = 64 * 1024;

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

// Text as a command's output reached the log: trimmed at the ends, and empty
// when it is not UTF-8.
std::string printable(std::string_view text) {
    const std::string bytes(text);
    return platform::isValidUtf8(bytes) ? platform::trimWhitespace(bytes) : std::string();
}

// The file is read once, from one descriptor, and only when nobody but this
// process's user could have written it: /tmp is writable by everyone, and a
// planted link would otherwise make the daemon publish any file it can read.
// Absent when the file cannot be read now: registering without the key it
// holds would create a computer record that belongs to no customer.
std::optional<InstallerConfiguration> readInstallerConfiguration() {
    const std::string path = platform::SystemRoot::resolve(kInstallerConfigurationFile);
    const auto read = platform::readTrustedFile(path, kInstallerConfigurationLimit);
    if (!read.exists)
        return InstallerConfiguration{"", "", ""};
    if (read.unreadableNow) {
        Logging::WriteError("Installer configuration file cannot be read now: " + read.problem +
                            "; no registration until it can.");
        return std::nullopt;
    }
    if (!read.content) {
        Logging::WriteError("Installer configuration file ignored: " + read.problem);
        (void)platform::removeEntryNoFollow(path);
        return InstallerConfiguration{"", "", ""};
    }
    Logging::TitleLine("QVConfig");
    Logging::WriteLine("Contents of QVConfig: " + printable(*read.content));
    InstallerConfiguration configuration = splitInstallerConfiguration(*read.content);
    Logging::WriteLine("License Key: " + configuration.licenseKey.value_or("none"));
    Logging::WriteLine("Company Name: " + configuration.companyName.value_or("none"));
    Logging::WriteLine("LocationName: " + configuration.locationName.value_or("none"));
    return configuration;
}

// The registration answer: an object with the string "id"; other keys ignored.
struct RegistrationDTO {
    std::string computerId;
};

platform::Result<RegistrationDTO> decodeRegistration(const std::optional<std::string>& body) {
    return platform::decodeJson(body.value_or(""), [](const platform::JsonDecoder& in) {
        return RegistrationDTO{in.string("id")};
    });
}

std::string describe(const RegistrationDTO& dto) {
    return "RegistrationDTO(computerId: " + platform::Json(dto.computerId).dump() + ")";
}

}  // namespace

InstallerConfiguration splitInstallerConfiguration(std::string_view content) {
    static constexpr std::string_view kSeparator = "\\n";
    std::string fields[3];
    // awk reads records up to each line feed; a last line without one still
    // counts, an empty text has no record at all.
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart < content.size()) {
        auto lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = content.size();
        const std::string_view line = content.substr(lineStart, lineEnd - lineStart);
        std::size_t fieldStart = 0;
        for (auto& field : fields) {
            if (!first)
                field += '\n';
            if (fieldStart == std::string_view::npos)
                continue;
            const auto separator = line.find(kSeparator, fieldStart);
            field += line.substr(fieldStart, separator == std::string_view::npos
                                                 ? std::string_view::npos
                                                 : separator - fieldStart);
            fieldStart =
                separator == std::string_view::npos ? separator : separator + kSeparator.size();
        }
        first = false;
        lineStart = lineEnd + 1;
    }
    return {printable(fields[0]), printable(fields[1]), printable(fields[2])};
}

MachineFacts readMachineFacts() {
    auto product = tryShellAsync(kProductVersionCommand);
    auto build = tryShellAsync(kBuildVersionCommand);
    auto name = tryShellAsync(kComputerNameCommand);
    auto volume = tryShellAsync(kBootVolumeUuidCommand);
    return {product.get(), build.get(), name.get(), volume.get()};
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
    // Percent-encoded: an identifier holding characters a URL cannot carry
    // must not make every later login impossible.
    const std::string url =
        checkInBaseUrl + "/computers/" + platform::percentEncodePathSegment(computerId) + "/login";
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
    const auto configuration = readInstallerConfiguration();
    if (!configuration)
        return;

    const auto body = serialize(registrationBody(facts, hardwareUuid, *configuration));
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
        auto dto = decodeRegistration(result.body);
        if (dto.failed()) {
            Logging::WriteError("Failed to decode JSON: " + dto.error());
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
    // then the next start, should this run end first, registers with it again.
    if (stored)
        removeInstallerConfiguration();

    Logging::WriteLine("Attempt to log in after registration");
    auto token = login(*computerId);
    authorizationToken.set(token);
    App::Core::State::SetValueInMemory(App::Core::State::MemoryKey::authorizationToken,
                                       std::move(token));
}

}  // namespace QVAgentLaunchDaemon
