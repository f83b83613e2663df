#pragma once
// Streaming SHA-256: a large file is hashed in chunks, never held whole.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view bytes);
    std::array<std::uint8_t, 32> finish();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Lower-case hex, two digits a byte.
std::string toLowerHex(const std::array<std::uint8_t, 32>& digest);

struct FileDigest {
    std::optional<std::string> hex;  // lower-case hex digest on success
    std::string error;               // why the file could not be read otherwise
};

FileDigest sha256OfFile(const std::string& path);

}  // namespace platform
