#pragma once

#include "brindle/backend.h"
#include "brindle/errors.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace brindle::sdk {

class RunningServer;

// What a server takes on at most, and how long it waits for clients.
struct Limits {
    // Authenticated clients served at once; each has a reader and a writer thread.
    size_t maxClients = 256;
    // Connections that have not completed the handshake; past this the oldest is dropped.
    size_t maxUnauthenticated = 1024;
    std::chrono::milliseconds handshakeDeadline{10'000};
    // How long a client may leave its replies untaken before it is disconnected.
    std::chrono::milliseconds stallDeadline{30'000};
    // Files and directories held open, over all clients (EMFILE past these); one client holds at
    // most three quarters of each, so that others can still open.
    size_t maxOpenFiles = 4096;
    size_t maxOpenDirectories = 4096;
    // Bytes of names that listings in progress keep between pages, over all clients; the oldest
    // listing is let go first.
    size_t listingBudget = 64u << 20;
    // Changes kept for one client that has not asked for them yet; past this it is told that
    // everything changed.
    size_t untoldChangesPerClient = 4096;
    // The longest a "wait_for_changes" is held while nothing changes.
    std::chrono::milliseconds longestChangeWait{10'000};
    // Locks one connection may hold (ENOLCK past it); a split range counts twice.
    size_t maxLocksPerConnection = 4096;
};

struct ServerSettings {
    // The session file clients mount with: written (mode 0600, a fresh token) once the server
    // listens, removed when it stops.
    std::string sessionFile;
    // "unix:PATH", "tls://HOST:PORT" or "tcp://HOST:PORT"; empty: a Unix socket PATH.sock beside
    // the session file.
    std::string listen;
    // Allows a TCP address that is not loopback.
    bool allowRemote = false;
    // Allows a non-loopback address with plain tcp://, where the token and file data cross the
    // network in clear text.
    bool allowUnencryptedRemote = false;
    // The PEM certificate (chain) and key a tls:// server shows; both empty: a fresh key and a
    // self-signed certificate at each start, whose fingerprint the session file pins.
    std::string tlsCertificate;
    std::string tlsKey;
    std::string volumeName;
    // Worker threads that run requests.
    size_t threads = 8;
    // Extensions the handshake advertises besides the backend's own: only ones it implements.
    std::vector<std::string> extensions;
    // Extensions the backend implements that the handshake does not advertise, so that a client
    // can be tried against a server without them.
    std::set<std::string> withheldExtensions{};
    Limits limits;
};

// The endpoint the settings ask for, with the default filled in.
std::string listenEndpoint(const ServerSettings& settings);
// Resolves a relative session file and Unix socket path against `workingDirectory`.
void makePathsAbsolute(ServerSettings& settings, const std::filesystem::path& workingDirectory);

// A running server: it listens, admits clients that prove the session's token, and serves their
// requests from `backend` on a pool of workers. The backend must outlive it.
class Server {
public:
    static Result<std::unique_ptr<Server>> start(Backend& backend, const ServerSettings& settings);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Closes every connection (each connection's open files and directories are let go), removes
    // the socket and the session file. Idempotent.
    void stop();

    // As the session file names it: a socket path, or "tcp://HOST:PORT" with the real port.
    const std::string& endpoint() const;
    const std::string& sessionID() const;
    const std::string& authToken() const;

    // What clients hold now.
    struct Holdings {
        size_t openFiles = 0;
        size_t openDirectories = 0;
        size_t listingBytes = 0;
    };
    Holdings holdings() const;

private:
    explicit Server(std::unique_ptr<RunningServer> running);
    std::unique_ptr<RunningServer> running_;
};

}  // namespace brindle::sdk
