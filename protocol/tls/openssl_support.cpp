#include "protocol/tls/openssl_support.h"

namespace brindle::tls::openssl {

std::string takeErrors(const std::string& fallback) {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        char line[256];
        if (reason == nullptr) ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += reason != nullptr ? reason : line;
    }
    return text.empty() ? fallback : text;
}

}  // namespace brindle::tls::openssl
