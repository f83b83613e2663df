// The update trigger file's split into lines ("<request id>\n<package path>"):
// no piece keeps a newline character, and the pieces and separators account
// for every byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "daemon/actions/agent_update.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto pieces = QVAgentLaunchDaemon::splitAtNewlines(text);
    if (pieces.empty())
        std::abort();
    std::size_t bytes = pieces.size() - 1;  // at least one byte per separator
    for (std::string_view piece : pieces) {
        bytes += piece.size();
        if (piece.find_first_of("\n\v\f\r") != piece.npos || piece.find("\xC2\x85") != piece.npos ||
            piece.find("\xE2\x80\xA8") != piece.npos || piece.find("\xE2\x80\xA9") != piece.npos)
            std::abort();
    }
    if (bytes > size)
        std::abort();
    return 0;
}
