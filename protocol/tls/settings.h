#pragma once

#include "platform/foundation/error.h"
#include "protocol/certificate_pin.h"

#include <openssl/ssl.h>

#include <optional>

// What every TLS context of ours holds to, client or server.
namespace brindle::tls {

// TLS 1.3 only; kernel TLS where the kernel offers it; partial writes, so that a non-blocking
// relay moves on after each record. Fails only when OpenSSL is out of memory.
std::optional<foundation::Error> configureContext(SSL_CTX* context);
// The SHA-256 fingerprint of a certificate's DER encoding.
std::optional<CertificatePin> fingerprintOf(X509* certificate);

}  // namespace brindle::tls
