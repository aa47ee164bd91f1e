#pragma once

#include "server/dispatcher.h"
#include "server/unique_fd.h"
#include "server/worker_pool.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace brindle::server {

struct SessionSecrets {
    std::string sessionID;
    std::string authToken;
};

// One client: its reader runs the handshake and then answers quick calls itself while nothing
// else is in flight, and hands every other request to the worker pool; replies go out as whole
// frames one at a time, in whatever order they finish.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Requests of one client in the pool at once; the reader waits beyond this.
    static constexpr size_t kMaxInFlight = 256;

    static std::shared_ptr<Connection> create(UniqueFd socket, const Dispatcher& dispatcher, WorkerPool& pool,
                                              const SessionSecrets& secrets);

    // Serves until the client goes away, sends something malformed, or `stop` is called.
    void serve();
    // Wakes the reader and fails further writes; safe from any thread.
    void stop();

private:
    Connection(UniqueFd socket, const Dispatcher& dispatcher, WorkerPool& pool, const SessionSecrets& secrets);

    bool handshake();
    void run(boost::json::object request, std::string payload);
    void send(Reply reply, const boost::json::value* requestID);

    UniqueFd socket_;
    const uint64_t id_;
    const Dispatcher& dispatcher_;
    WorkerPool& pool_;
    const SessionSecrets& secrets_;

    std::mutex writeMutex_;
    std::mutex flightMutex_;
    std::condition_variable flightChanged_;
    size_t inFlight_ = 0;
};

}  // namespace brindle::server
