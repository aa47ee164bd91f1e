#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace brindle {

// What a server that advertised "forget" needs to let its nodes go: how many times each node was
// handed to this connection (by lookups, creates and listing entries), and, once the node is let
// go here, that count, sent in batches from a thread of its own. A batch goes `delay` after its
// first node, or as soon as it holds `batchLimit` nodes. A node held again by then (`held`) is not
// forgotten: its count is kept, since the reply that handed it out again may have been counted
// into it. Safe from any thread; `send` and `held` run on its thread without its lock, so
// `released` may be called under a lock that `held` takes.
class NodeReleases {
public:
    using Send = std::function<void(std::vector<uint64_t> nodes, std::vector<uint64_t> counts)>;
    using Held = std::function<bool(uint64_t node)>;

    NodeReleases(Send send, std::chrono::milliseconds delay, size_t batchLimit);
    // Sends nothing more: what waits goes with the connection.
    ~NodeReleases();
    NodeReleases(const NodeReleases&) = delete;
    NodeReleases& operator=(const NodeReleases&) = delete;

    void setHeld(Held held);
    void handedOut(uint64_t node);
    // Nothing here names the node any more; nothing happens for a node never handed out.
    void released(uint64_t node);

private:
    struct State;
    // Shared with the thread, which may outlive this object when its own send drops the last owner.
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace brindle
