// The installer configuration file's split into its three fields: no field
// keeps the "\n" separator (backslash, n) or white space at either end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/enrollment/enrollment.h"

namespace {

void check(const std::optional<std::string>& field) {
    constexpr std::string_view kWhitespace = " \t\n\r\f\v";
    if (!field || field->empty())
        return;
    if (field->find("\\n") != std::string::npos ||
        kWhitespace.find(field->front()) != std::string_view::npos ||
        kWhitespace.find(field->back()) != std::string_view::npos)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto configuration = QVAgentLaunchDaemon::splitInstallerConfiguration(
        std::string_view(reinterpret_cast<const char*>(data), size));
    check(configuration.licenseKey);
    check(configuration.companyName);
    check(configuration.locationName);
    return 0;
}
