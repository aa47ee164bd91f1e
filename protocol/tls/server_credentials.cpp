#include "protocol/tls/server_credentials.h"

#include "platform/foundation/errno_table.h"
#include "protocol/tls/openssl_support.h"
#include "protocol/tls/settings.h"

#include <openssl/bn.h>
#include <openssl/pem.h>

namespace brindle::tls {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

constexpr long kValidityDays = 3650;

std::shared_ptr<SSL_CTX> newServerContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) return nullptr;
    return std::shared_ptr<SSL_CTX>(context, SSL_CTX_free);
}

// A random 127-bit serial: unique enough that two certificates of one name never share one.
bool setRandomSerial(X509* certificate) {
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), BN_free);
    return serial && BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
           BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
}

openssl::Certificate selfSignedCertificate(EVP_PKEY* key) {
    openssl::Certificate certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), 2) != 1 || !setRandomSerial(certificate.get()) ||
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(certificate.get()), kValidityDays, 0, nullptr) == nullptr ||
        X509_set_pubkey(certificate.get(), key) != 1) {
        return nullptr;
    }
    X509_NAME* name = X509_get_subject_name(certificate.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("brindle-server"),
                                   -1, -1, 0) != 1 ||
        X509_set_issuer_name(certificate.get(), name) != 1 || X509_sign(certificate.get(), key, EVP_sha256()) == 0) {
        return nullptr;
    }
    return certificate;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

}  // namespace

foundation::Result<ServerCredentials> ServerCredentials::generate() {
    openssl::Key key(EVP_EC_gen("P-256"));
    if (!key) return Error::posix(darwin::enomem, "cannot make a key: " + openssl::takeErrors("out of memory"));
    const openssl::Certificate certificate = selfSignedCertificate(key.get());
    if (!certificate) {
        return Error::posix(darwin::enomem, "cannot make a certificate: " + openssl::takeErrors("out of memory"));
    }
    auto context = newServerContext();
    if (!context || SSL_CTX_use_certificate(context.get(), certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
        return Error::posix(darwin::enomem, openssl::takeErrors("cannot set up TLS"));
    }
    return fromContext(std::move(context));
}

foundation::Result<ServerCredentials> ServerCredentials::load(const std::string& certificatePath,
                                                              const std::string& keyPath) {
    auto context = newServerContext();
    if (!context) return Error::posix(darwin::enomem, openssl::takeErrors("cannot set up TLS"));
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(context.get(), certificatePath.c_str()) != 1) {
        return Error::posix(darwin::einval, "cannot use the certificate " + certificatePath + ": " +
                                                openssl::takeErrors("not a PEM certificate"));
    }
    if (SSL_CTX_use_PrivateKey_file(context.get(), keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
        return Error::posix(darwin::einval,
                            "cannot use the key " + keyPath + ": " + openssl::takeErrors("not a PEM private key"));
    }
    if (SSL_CTX_check_private_key(context.get()) != 1) {
        return Error::posix(darwin::einval, "the key " + keyPath + " does not belong to the certificate " +
                                                certificatePath);
    }
    return fromContext(std::move(context));
}

foundation::Result<ServerCredentials> ServerCredentials::fromContext(std::shared_ptr<SSL_CTX> context) {
    if (auto error = configureContext(context.get())) return *error;
    const auto fingerprint = fingerprintOf(SSL_CTX_get0_certificate(context.get()));
    if (!fingerprint) return Error::posix(darwin::einval, "the certificate has no SHA-256 fingerprint");
    return ServerCredentials(std::move(context), *fingerprint);
}

std::string ServerCredentials::certificatePEM() const {
    openssl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), SSL_CTX_get0_certificate(context_.get())) != 1) return {};
    return bioText(bio.get());
}

std::string ServerCredentials::keyPEM() const {
    openssl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), SSL_CTX_get0_privatekey(context_.get()), nullptr, nullptr, 0,
                                         nullptr, nullptr) != 1) {
        return {};
    }
    return bioText(bio.get());
}

}  // namespace brindle::tls
