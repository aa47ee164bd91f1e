#pragma once

#include "sdk/cpp/dispatch/dispatcher.h"
#include "sdk/cpp/transport/outbox.h"
#include "brindle/unique_fd.h"
#include "sdk/cpp/transport/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace brindle::sdk {

// One authenticated client. Its reader answers a quick call itself while no other call of the
// client is being worked on or waiting to be read (a close even then), and hands every other
// request to the worker pool; replies leave through the connection's outbox in whatever order
// they finish, so no thread ever waits for the client.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Requests of one client in the pool at once; the reader waits beyond this.
    static constexpr size_t kMaxInFlight = 256;
    // Reply bytes waiting for a client before its reader stops taking requests.
    static constexpr size_t kMaxQueuedBytes = 8 * 1024 * 1024;

    // `id` names the connection to the file system, which releases what it held when it ends.
    static std::shared_ptr<Connection> create(UniqueFd socket, uint64_t id, Dispatcher& dispatcher,
                                              WorkerPool& pool, std::chrono::milliseconds stallDeadline);

    // Serves until the client goes away, sends something malformed, stalls, or `stop` is called;
    // returns once its last reply is out and its resources are released.
    void serve();
    // Ends the connection; safe from any thread.
    void stop();

private:
    Connection(UniqueFd socket, uint64_t id, Dispatcher& dispatcher, WorkerPool& pool,
               std::chrono::milliseconds stallDeadline);

    void readRequests();
    void run(boost::json::object request, std::string payload, size_t reserved,
             Outbox::Send send = Outbox::Send::now);
    void hold(boost::json::object request, std::string payload);
    // Sends the reply, giving back the reply bytes `reserved` for it, and counts the request done.
    void answer(const boost::json::value* requestID, Reply reply, size_t reserved, Outbox::Send send = Outbox::Send::now);

    UniqueFd socket_;
    const uint64_t id_;
    Dispatcher& dispatcher_;
    WorkerPool& pool_;
    Outbox outbox_;

    std::mutex flightMutex_;
    std::condition_variable flightChanged_;
    size_t inFlight_ = 0;
    // Of those, the held ones: they wait for a change, not for a thread, so they keep no call
    // from being answered by the reader.
    size_t held_ = 0;
};

}  // namespace brindle::sdk
