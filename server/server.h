#pragma once

#include "platform/foundation/error.h"
#include "server/command_line.h"
#include "server/connection.h"
#include "server/dispatcher.h"
#include "server/file_system.h"
#include "server/listener.h"
#include "server/worker_pool.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace brindle::server {

// A running server: the export, the listener, a reader thread per client and the worker pool.
// The session file exists exactly while it listens.
class Server {
public:
    // Clients served at once; each has a reader thread, so more are turned away.
    static constexpr size_t kMaxClients = 256;

    static foundation::Result<std::unique_ptr<Server>> start(const ServerOptions& options);
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

    Server(const ServerOptions& options, FileSystemOptions fileSystemOptions, ExportRoot root, Listener listener,
           SessionSecrets secrets);
    void acceptLoop();
    void reapFinishedLocked();

    const std::string sessionFile_;
    FileSystem fileSystem_;
    Dispatcher dispatcher_;
    SessionSecrets secrets_;
    WorkerPool pool_;
    Listener listener_;

    std::mutex clientsMutex_;
    std::vector<Client> clients_;
    bool stopped_ = false;
    bool sessionWritten_ = false;  // a file this server did not write is never removed
    std::thread acceptThread_;
};

}  // namespace brindle::server
