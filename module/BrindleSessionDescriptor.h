#pragma once

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "protocol/certificate_pin.h"

#include <memory>
#include <optional>
#include <string>

namespace brindle {

// The values a session file yields, defaults filled in.
struct SessionFields {
    std::string sessionID;
    std::string socketPath;
    std::string authToken;
    bool namedattr = false;
    bool readonly = false;
    std::string volumeName;
    // The certificate a tls:// server must show; without one, an authority must vouch for its host.
    std::optional<CertificatePin> tlsPin;
    // The user a Unix socket's server must run as: a name, or a decimal uid.
    std::optional<std::string> serverUser;
};

// Whether a session file is believed only when it is private to its reader. It holds the token, and
// whoever can write it chooses the server a mount talks to.
enum class SessionFileTrust { requirePrivate, skipCheck };

// The immutable values of one session file: where the server listens and how to prove membership.
class BrindleSessionDescriptor {
public:
    static foundation::Result<SessionFields> parsedFieldsAtURL(const foundation::URL& url, SessionFileTrust trust);
    static std::optional<foundation::Error> validateURL(const foundation::URL& url, SessionFileTrust trust);
    static foundation::Result<std::shared_ptr<const BrindleSessionDescriptor>> initWithURL(const foundation::URL& url,
                                                                                        SessionFileTrust trust);

    // For tests and in-process peers that have the values at hand rather than in a file.
    BrindleSessionDescriptor(foundation::URL url, SessionFields fields);

    const foundation::URL& url() const { return url_; }
    const std::string& sessionID() const { return fields_.sessionID; }
    const std::string& socketPath() const { return fields_.socketPath; }
    const std::string& authToken() const { return fields_.authToken; }
    bool namedattrEnabled() const { return fields_.namedattr; }
    bool readonlyEnabled() const { return fields_.readonly; }
    const std::string& volumeName() const { return fields_.volumeName; }
    const std::optional<CertificatePin>& tlsPin() const { return fields_.tlsPin; }
    const std::optional<std::string>& serverUser() const { return fields_.serverUser; }

private:
    foundation::URL url_;
    SessionFields fields_;
};

}  // namespace brindle
