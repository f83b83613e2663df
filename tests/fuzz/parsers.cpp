// The parsers of what a server answers and local files hold, on arbitrary
// bytes: one libFuzzer executable per parser, each built with QV_FUZZ_CHECK
// naming its check (CMakeLists.txt). A check aborts on a broken promise.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/actions/agent_update.h"
#include "daemon/configuration/configuration.h"
#include "daemon/enrollment/enrollment.h"
#include "daemon/watchers/config_watcher.h"

namespace {

using namespace QVAgentLaunchDaemon;

void require(bool promise) {
    if (!promise)
        std::abort();
}

// A body that decodes must encode and describe, and its encoding must decode
// to the same record.
[[maybe_unused]] void configuration(const std::string& text) {
    const auto dto = decodeGetConfiguration(text);
    if (dto.failed())
        return;
    const auto again = decodeGetConfiguration(encode(*dto).dump());
    require(again.ok() && describe(*again) == describe(*dto));
}

// The diagnostics switch file: a key ends at the first "=", a counted value is
// never empty, and the mapping renders.
[[maybe_unused]] void debugConf(const std::string& text) {
    const auto mapping = parseConfigText(text);
    for (const auto& [key, value] : mapping)
        require(key.find('=') == std::string::npos && !value.empty());
    require(!describeConfig(mapping).empty());
}

// The installer configuration's three fields: none keeps the "\n" separator
// (backslash, n) or white space at either end.
[[maybe_unused]] void installerConfiguration(const std::string& text) {
    constexpr std::string_view kWhitespace = " \t\n\r\f\v";
    const auto fields = splitInstallerConfiguration(text);
    for (const auto& field : {fields.licenseKey, fields.companyName, fields.locationName}) {
        require(!field || field->empty() ||
                (field->find("\\n") == std::string::npos &&
                 kWhitespace.find(field->front()) == std::string_view::npos &&
                 kWhitespace.find(field->back()) == std::string_view::npos));
    }
}

// The update trigger ("<request id>\n<package path>"): no piece keeps a
// newline character, and the pieces and separators account for every byte.
[[maybe_unused]] void updateTrigger(const std::string& text) {
    const auto pieces = splitAtNewlines(text);
    require(!pieces.empty());
    std::size_t bytes = pieces.size() - 1;  // at least one byte per separator
    for (std::string_view piece : pieces) {
        bytes += piece.size();
        for (std::string_view newline :
             {"\n", "\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
            require(piece.find(newline) == std::string_view::npos);
    }
    require(bytes <= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QV_FUZZ_CHECK(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
