#include "platform/sha256.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace platform {

struct Sha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->ctx = EVP_MD_CTX_new();
    if (impl_->ctx == nullptr || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 unavailable");
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(impl_->ctx);
}

void Sha256::update(std::string_view bytes) {
    EVP_DigestUpdate(impl_->ctx, bytes.data(), bytes.size());
}

std::array<std::uint8_t, 32> Sha256::finish() {
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(impl_->ctx, digest.data(), &length);
    return digest;
}

std::string toLowerHex(const std::array<std::uint8_t, 32>& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return hex;
}

FileDigest sha256OfFile(const std::string& path) {
    FileDigest result;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        result.error = "The file \"" + path + "\" couldn't be opened: " + std::strerror(errno);
        return result;
    }
    Sha256 hasher;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
        if (n > 0)
            hasher.update(std::string_view(buffer.data(), n));
        if (n < buffer.size()) {
            if (std::ferror(file)) {
                result.error =
                    "The file \"" + path + "\" couldn't be read: " + std::strerror(errno);
                std::fclose(file);
                return result;
            }
            break;
        }
    }
    std::fclose(file);
    result.hex = toLowerHex(hasher.finish());
    return result;
}

}  // namespace platform
