#pragma once

#include "platform/foundation/error.h"
#include "sdk/cpp/dispatch/dispatcher.h"
#include "sdk/cpp/transport/admission.h"
#include "sdk/cpp/transport/connection.h"
#include "sdk/cpp/transport/listener.h"
#include "sdk/cpp/transport/pending_handshake.h"
#include "sdk/cpp/transport/worker_pool.h"
#include "server/command_line.h"
#include "server/passthrough/file_system.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace brindle::server {

struct ServerLimits {
    // Authenticated clients served at once; each has a reader and a writer thread.
    size_t maxClients = 256;
    // Connections that have not completed the handshake; past this the oldest is dropped.
    size_t maxUnauthenticated = 1024;
    std::chrono::milliseconds handshakeDeadline{10'000};
    // How long a client may leave its replies untaken before it is disconnected.
    std::chrono::milliseconds stallDeadline{30'000};
};

// A running server: the export, the listener, the door that admits clients after their
// handshake, a reader thread per authenticated client and the worker pool. The session file
// exists exactly while it listens.
class Server {
public:
    static foundation::Result<std::unique_ptr<Server>> start(const ServerOptions& options, ServerLimits limits = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Closes every connection, removes the socket and the session file. Idempotent.
    void stop();

    const std::string& endpoint() const { return listener_.endpoint(); }
    const SessionSecrets& secrets() const { return secrets_; }
    FileSystem& fileSystem() { return fileSystem_; }

private:
    struct Client {
        // The reader owns the connection, so its socket closes as soon as the reader is done.
        std::weak_ptr<Connection> connection;
        std::thread reader;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    Server(const ServerOptions& options, const ServerLimits& limits, FileSystemOptions fileSystemOptions,
           ExportRoot root, Listener listener, SessionSecrets secrets);
    bool hasRoom();
    void admit(UniqueFd socket);
    void reapFinishedLocked();

    const std::string sessionFile_;
    const ServerLimits limits_;
    FileSystem fileSystem_;
    Dispatcher dispatcher_;
    SessionSecrets secrets_;
    WorkerPool pool_;
    Listener listener_;
    Admission admission_;

    std::mutex clientsMutex_;
    std::vector<Client> clients_;
    uint64_t lastConnectionID_ = 0;
    bool stopped_ = false;
    bool sessionWritten_ = false;  // a file this server did not write is never removed
    std::thread admissionThread_;
};

}  // namespace brindle::server
