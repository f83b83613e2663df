#include "support/certificate.h"

#include <stdexcept>

#include "platform/process.h"

namespace qvtest {

SelfSignedCertificate makeSelfSignedCertificate(const std::filesystem::path& directory) {
    SelfSignedCertificate files{directory / "cert.pem", directory / "key.pem"};
    const auto made = platform::runProcess(
        "/usr/bin/openssl",
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days",
         "1", "-subj", "/CN=qv loopback", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
         "-addext", "basicConstraints=critical,CA:TRUE", "-keyout", files.key.string(), "-out",
         files.certificate.string()});
    if (made.exitStatus != 0)
        throw std::runtime_error("openssl req failed: " + made.output);
    return files;
}

}  // namespace qvtest
