#pragma once

#include "platform/foundation/error.h"
#include "protocol/certificate_pin.h"

#include <optional>
#include <string>

namespace brindle::sdk {

struct SessionFile {
    std::string sessionID;
    std::string socketPath;
    std::string authToken;
    std::string volumeName;
    bool namedattr = false;
    bool readonly = false;
    // The fingerprint of a tls:// server's certificate, which the mount checks before its token goes.
    std::optional<CertificatePin> tlsPin;
    // The user a Unix socket's server runs as, which the mount checks the same way.
    std::optional<std::string> serverUser;
};

// Writes the file with mode 0600 and moves it into place whole, so that no reader sees half of it
// and the token is never readable by others.
std::optional<foundation::Error> writeSessionFile(const std::string& path, const SessionFile& session);

// The endpoint named by the session file already at `path`, or none when there is no readable
// session file there.
std::optional<std::string> existingSessionEndpoint(const std::string& path);

}  // namespace brindle::sdk
