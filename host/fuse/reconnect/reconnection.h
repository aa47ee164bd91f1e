#pragma once

#include "host/fuse/reconnect/session_reload.h"
#include "host/fuse/requests/operation_context.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

namespace brindle::host {

// Keeps a mount going across restarts of its server (`-o reconnect`). When the client of the
// current volume reports its connection lost, a thread of its own loads the session again, with a
// growing pause between attempts, until one succeeds or the mount ends; the new volume then becomes
// the next generation. Only the client's report starts this: a failed call says nothing about the
// connection, and a session file changed meanwhile waits for the next loss.
class Reconnection : public std::enable_shared_from_this<Reconnection> {
    struct Made {};  // only `create` makes one: the connection-lost handler holds it weakly

public:
    using Clock = std::chrono::steady_clock;
    // One attempt at the whole load; asks `ending` while it waits.
    using Reload = std::function<std::variant<ReloadedVolume, std::string>(const std::function<bool()>& ending)>;

    static constexpr Clock::duration firstPause = std::chrono::milliseconds(200);
    static constexpr Clock::duration longestPause = std::chrono::seconds(5);

    static std::shared_ptr<Reconnection> create(std::shared_ptr<OperationContext> context, Reload reload,
                                                std::string session);
    Reconnection(Made, std::shared_ptr<OperationContext> context, Reload reload, std::string session);
    ~Reconnection();
    Reconnection(const Reconnection&) = delete;
    Reconnection& operator=(const Reconnection&) = delete;

    // Starts watching the current volume's connection.
    void start();
    // Ends the watch and a reconnect under way, without waiting for the server; the volume current
    // afterwards is the one to take down.
    void stop();

private:
    void watch(const CurrentVolume::Generation& generation);
    void lost(uint64_t generation, const foundation::Error& error);
    void run();
    void reconnect();
    // Pauses before the next attempt; false once stopped.
    bool pause(Clock::duration length);

    const std::shared_ptr<OperationContext> context_;
    const Reload reload_;
    const std::string session_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool lost_ = false;
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

}  // namespace brindle::host
