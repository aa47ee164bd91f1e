#include "protocol/tls/settings.h"

#include "platform/foundation/errno_table.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace brindle::tls {

std::optional<foundation::Error> configureContext(SSL_CTX* context) {
    if (SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) != 1) {
        return foundation::Error::posix(foundation::darwin::enomem, "cannot limit TLS to version 1.3");
    }
    SSL_CTX_set_options(context, SSL_OP_ENABLE_KTLS);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A connection is never resumed: tickets would only cost a record at its start.
    SSL_CTX_set_num_tickets(context, 0);
    return std::nullopt;
}

std::optional<CertificatePin> fingerprintOf(X509* certificate) {
    CertificatePin pin;
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), pin.digest.data(), &length) != 1 ||
        length != pin.digest.size()) {
        return std::nullopt;
    }
    return pin;
}

}  // namespace brindle::tls
