#pragma once

#include "platform/foundation/error.h"
#include "protocol/certificate_pin.h"
#include "protocol/tls/server_credentials.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

typedef struct ssl_st SSL;

namespace brindle::tls {

// How a client knows its server: by the certificate's pinned fingerprint alone, or, without a pin,
// by a certificate that an authority the system trusts issued for `host`.
struct ClientTrust {
    std::optional<CertificatePin> pin;
    std::string host;
};

// What a client verified of its server before it sent anything.
struct VerifiedServer {
    CertificatePin certificate;  // the fingerprint of the certificate the server showed
    bool pinned = false;         // it matched the pin; else an authority vouched for `host`
    std::string host;
    std::string connection;  // protocol, cipher and where the records are encrypted
};

// A TLS connection seen through one end of a socket pair: whoever holds the plain end reads and
// writes frames on it as on any stream socket, and a thread of the tunnel's own relays between it
// and the TLS connection. That thread alone touches the TLS object, so the object is never used from
// two threads at once; it waits in poll for both sockets together and never blocks in either
// direction, so replies still flow while requests wait for room, and the holder of the plain end
// writes without waiting as it does on a Unix socket.
class Tunnel {
public:
    struct Connected {
        std::unique_ptr<Tunnel> tunnel;
        int plainFD;  // the caller's to close
        VerifiedServer server;
    };
    struct Accepted {
        std::unique_ptr<Tunnel> tunnel;
        int plainFD;  // the caller's to close
    };

    // Makes the handshake on a connected TCP socket (taken over) within `limit` and verifies the
    // server before it returns: a server that fails the check never sees a byte of the caller's.
    static foundation::Result<Connected> connect(int tcpFD, const ClientTrust& trust, std::chrono::milliseconds limit);
    // Returns at once; the handshake runs on the tunnel's thread, and a client that does not finish
    // it within `limit` finds the tunnel ended, as the holder of the plain end finds it closed.
    static foundation::Result<Accepted> accept(int tcpFD, const ServerCredentials& credentials,
                                               std::chrono::milliseconds limit);

    // Ends the relay, dropping what it still holds, and waits for its thread.
    ~Tunnel();
    Tunnel(const Tunnel&) = delete;
    Tunnel& operator=(const Tunnel&) = delete;

    // The relay has ended by itself: the plain end was closed (after what it had written went out)
    // or the TLS connection ended.
    bool finished() const { return finished_.load(); }

private:
    Tunnel(SSL* ssl, int tcpFD, int relayFD, int stopFD);
    void handshakeThenRelay(std::chrono::milliseconds limit);
    void relay();
    void end(bool cleanly);

    SSL* ssl_;
    int tcpFD_;
    int relayFD_;
    int stopFD_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace brindle::tls
