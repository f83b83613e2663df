// The configuration answer's decoder on arbitrary bodies. A body that decodes
// must encode and describe, and its encoding must decode to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "daemon/configuration/configuration.h"

using namespace QVAgentLaunchDaemon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    const auto dto =
        decodeGetConfiguration(std::string(reinterpret_cast<const char*>(data), size), error);
    if (!dto)
        return 0;
    const std::string description = describe(*dto);
    const auto again = decodeGetConfiguration(encode(*dto).dump(), error);
    if (!again || describe(*again) != description)
        std::abort();
    return 0;
}
