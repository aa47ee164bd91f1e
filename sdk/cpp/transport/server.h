#pragma once

#include "brindle/backend.h"
#include "brindle/serving.h"
#include "platform/foundation/error.h"
#include "sdk/cpp/dispatch/dispatcher.h"
#include "sdk/cpp/transport/admission.h"
#include "sdk/cpp/transport/connection.h"
#include "sdk/cpp/transport/listener.h"
#include "sdk/cpp/transport/pending_handshake.h"
#include "sdk/cpp/transport/worker_pool.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brindle::sdk {

// The listener, the door that admits clients after their handshake, a reader thread per
// authenticated client and the worker pool, around one backend. The session file exists exactly
// while it listens.
class RunningServer {
public:
    static foundation::Result<std::unique_ptr<RunningServer>> start(Backend& backend, const ServerSettings& settings);
    ~RunningServer();
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    // Closes every connection, removes the socket and the session file. Idempotent.
    void stop();

    const std::string& endpoint() const { return listener_.endpoint(); }
    const SessionSecrets& secrets() const { return secrets_; }
    const Dispatcher& dispatcher() const { return dispatcher_; }

private:
    struct Client {
        // The reader owns the connection, so its socket closes as soon as the reader is done.
        std::weak_ptr<Connection> connection;
        std::thread reader;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    RunningServer(Backend& backend, const ServerSettings& settings, Listener listener, SessionSecrets secrets);
    bool hasRoom();
    void admit(UniqueFd socket);
    void reapFinishedLocked();

    const std::string sessionFile_;
    const Limits limits_;
    Dispatcher dispatcher_;
    SessionSecrets secrets_;
    WorkerPool pool_;
    Listener listener_;
    Admission admission_;

    std::mutex clientsMutex_;
    std::vector<Client> clients_;
    uint64_t lastConnectionID_ = 0;
    bool stopped_ = false;
    Backend* backendServing_ = nullptr;  // told of the stop once it was told of the start
    bool sessionWritten_ = false;  // a file this server did not write is never removed
    std::thread admissionThread_;
};

}  // namespace brindle::sdk
