#pragma once

#include "platform/foundation/error.h"
#include "protocol/certificate_pin.h"

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace brindle::tls {

// A server's key and certificate, ready to accept TLS 1.3 connections with.
class ServerCredentials {
public:
    // A fresh P-256 key and a self-signed certificate for it.
    static foundation::Result<ServerCredentials> generate();
    // A certificate (or a chain, the server's own first) and its key, both PEM files.
    static foundation::Result<ServerCredentials> load(const std::string& certificatePath, const std::string& keyPath);

    // What a client pins: the fingerprint of the server's own certificate.
    const CertificatePin& fingerprint() const { return fingerprint_; }
    // Both as PEM text, to be kept for the next start.
    std::string certificatePEM() const;
    std::string keyPEM() const;

    SSL_CTX* context() const { return context_.get(); }

private:
    ServerCredentials(std::shared_ptr<SSL_CTX> context, CertificatePin fingerprint)
        : context_(std::move(context)), fingerprint_(fingerprint) {}
    static foundation::Result<ServerCredentials> fromContext(std::shared_ptr<SSL_CTX> context);

    std::shared_ptr<SSL_CTX> context_;
    CertificatePin fingerprint_;
};

}  // namespace brindle::tls
