// The diagnostics switch file's key=value parser and the mapping's rendering.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "daemon/watchers/config_watcher.h"

using namespace QVAgentLaunchDaemon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto mapping = parseConfigText(std::string(reinterpret_cast<const char*>(data), size));
    for (const auto& [key, value] : mapping) {
        // A key ends at the first "=", and a counted value is never empty.
        if (key.find('=') != std::string::npos || value.empty())
            std::abort();
    }
    if (describeConfig(mapping).empty())
        std::abort();
    return 0;
}
