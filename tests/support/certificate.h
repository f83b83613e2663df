#pragma once
// A self-signed certificate for loopback TLS servers: valid for 127.0.0.1
// and localhost, and its own CA, so naming it as the trusted CA file makes a
// client accept the server.

#include <filesystem>

namespace qvtest {

struct SelfSignedCertificate {
    std::filesystem::path certificate;  // PEM
    std::filesystem::path key;          // PEM, unencrypted
};

// Writes cert.pem and key.pem (P-256, valid for a day) into `directory`, with
// the openssl command.
SelfSignedCertificate makeSelfSignedCertificate(const std::filesystem::path& directory);

}  // namespace qvtest
