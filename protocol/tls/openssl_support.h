#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

// Owning handles for OpenSSL objects, and the text of its error queue.
namespace brindle::tls::openssl {

struct Free {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Context = std::unique_ptr<SSL_CTX, Free>;
using Connection = std::unique_ptr<SSL, Free>;
using Certificate = std::unique_ptr<X509, Free>;
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Bio = std::unique_ptr<BIO, Free>;

// Empties this thread's error queue into one line; `fallback` when it held nothing.
std::string takeErrors(const std::string& fallback);

}  // namespace brindle::tls::openssl
