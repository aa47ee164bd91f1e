#pragma once

#include "module/BrindleSessionDescriptor.h"
#include "module/rpc/BrindleRPCClient.h"
#include "tests/support/temp_dir.h"

#include <boost/json.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

namespace rpctest {

// One frame as it arrived at the test server.
struct Frame {
    boost::json::object json;
    std::string payload;
};

// The server's end of one accepted connection. Reads time out, so a test never hangs on a
// frame that does not come.
class Peer {
public:
    explicit Peer(int fd);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // The next frame, or none when the client closed, failed or sent nothing in time.
    std::optional<Frame> read();
    // The next frame's JSON exactly as it arrived; frames with a payload are not expected.
    std::optional<std::string> readText();
    void reply(const boost::json::object& json, const std::string& payload = {});
    // Answers a frame with its own request id added.
    void replyTo(const Frame& request, boost::json::object json, const std::string& payload = {});
    // Reads the handshake and accepts it for `sessionID`.
    void acceptHandshake(const std::string& sessionID, boost::json::array extensions = {});
    void writeRaw(const std::string& bytes);
    void close();
    int fd() const { return fd_; }

private:
    int fd_;
};

// An in-process server on a Unix socket whose every byte on the wire the test states.
class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();

    const std::string& socketPath() const { return socketPath_; }
    // The next connection, or null when none arrives within the wait.
    std::unique_ptr<Peer> accept(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // A session for this server with the given id and token.
    std::shared_ptr<const brindle::BrindleSessionDescriptor> session(const std::string& sessionID = "session-1",
                                                                     const std::string& token = "secret") const;

private:
    testsupport::TempDir dir_;
    std::string socketPath_;
    int listenFD_ = -1;
};

// A session that names an endpoint directly.
std::shared_ptr<const brindle::BrindleSessionDescriptor> sessionForEndpoint(const std::string& endpoint);

// A frame as raw bytes: header, JSON, payload.
std::string rawFrame(const std::string& json, const std::string& payload = {});

// Waits for a value that a completion on the callback queue delivers, exactly once.
template <typename T>
class Await {
public:
    void set(T value) { promise_.set_value(std::move(value)); }
    // The value, or none when it did not come within the wait.
    std::optional<T> get(std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        if (future_.wait_for(wait) != std::future_status::ready) return std::nullopt;
        return future_.get();
    }
    bool ready() { return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

private:
    std::promise<T> promise_;
    std::future<T> future_ = promise_.get_future();
};

// Has `client` connect to `server` and the server accept its handshake; null when no connection
// came or the client did not report itself ready.
std::unique_ptr<Peer> connectAccepted(ScriptedServer& server, brindle::BrindleRPCClient& client);

}  // namespace rpctest
