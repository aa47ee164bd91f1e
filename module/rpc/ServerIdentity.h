#pragma once

#include "platform/foundation/error.h"
#include "protocol/certificate_pin.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace brindle {

// Who the server of a connection proved to be, before the session's token went to it.
struct ServerIdentity {
    enum class Kind {
        UnixUser,              // the peer of a Unix socket, by its credentials
        PinnedCertificate,     // a TLS server whose certificate matched the session file's pin
        AuthorizedCertificate, // a TLS server whose certificate an authority issued for `host`
        Unverified,            // plain TCP: nothing was proved
    };
    Kind kind = Kind::Unverified;
    uid_t uid = 0;
    CertificatePin certificate;
    std::string host;
    // How the TLS connection runs, for people; not part of the identity.
    std::string connection;

    // "user alice (uid 1000)", "certificate sha256:…", …
    std::string description() const;
    // Whether a later connection reached the same server: the same user, the same pinned
    // certificate, or a certificate for the same host.
    bool sameServerAs(const ServerIdentity& other) const;
};

// The user of `uid` for messages: "alice (uid 1000)", or "uid 1000" when it has no name.
std::string userDescription(uid_t uid);

// Checks the server at the other end of a connected Unix socket: it must run as the user that
// owns the socket file at `path` (or as root) and, when the session file names one, as
// `serverUser` (a user name or a decimal uid).
foundation::Result<ServerIdentity> identifyUnixPeer(int socketFD, const std::string& path,
                                                    const std::optional<std::string>& serverUser);

}  // namespace brindle
