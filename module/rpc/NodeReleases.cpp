#include "module/rpc/NodeReleases.h"

#include <utility>

namespace brindle {

struct NodeReleases::State {
    struct Release {
        uint64_t node;
        uint64_t count;
    };

    State(Send send, std::chrono::milliseconds delay, size_t batchLimit)
        : send(std::move(send)), delay(delay), batchLimit(batchLimit) {}

    void run();
    void flush();

    const Send send;
    const std::chrono::milliseconds delay;
    const size_t batchLimit;
    std::mutex mutex;
    std::condition_variable changed;
    Held held;
    std::unordered_map<uint64_t, uint64_t> handouts;
    std::vector<Release> waiting;
    std::chrono::steady_clock::time_point firstWaiting;
    bool stopping = false;
};

NodeReleases::NodeReleases(Send send, std::chrono::milliseconds delay, size_t batchLimit)
    : state_(std::make_shared<State>(std::move(send), delay, batchLimit)),
      thread_([state = state_] { state->run(); }) {}

NodeReleases::~NodeReleases() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void NodeReleases::setHeld(Held held) {
    std::lock_guard lock(state_->mutex);
    state_->held = std::move(held);
}

void NodeReleases::handedOut(uint64_t node) {
    std::lock_guard lock(state_->mutex);
    ++state_->handouts[node];
}

void NodeReleases::released(uint64_t node) {
    {
        std::lock_guard lock(state_->mutex);
        const auto found = state_->handouts.find(node);
        if (found == state_->handouts.end()) return;
        if (state_->waiting.empty()) state_->firstWaiting = std::chrono::steady_clock::now();
        state_->waiting.push_back({node, found->second});
        state_->handouts.erase(found);
    }
    state_->changed.notify_all();
}

void NodeReleases::State::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || !waiting.empty(); });
        if (stopping) return;
        changed.wait_until(lock, firstWaiting + delay, [this] { return stopping || waiting.size() >= batchLimit; });
        if (stopping) return;
        lock.unlock();
        flush();
        lock.lock();
    }
}

void NodeReleases::State::flush() {
    std::vector<Release> batch;
    Held isHeld;
    {
        std::lock_guard lock(mutex);
        batch.swap(waiting);
        isHeld = held;
    }
    std::vector<uint64_t> nodes;
    std::vector<uint64_t> counts;
    std::vector<Release> kept;
    for (const Release& release : batch) {
        if (isHeld && isHeld(release.node)) {
            kept.push_back(release);
            continue;
        }
        nodes.push_back(release.node);
        counts.push_back(release.count);
    }
    if (!kept.empty()) {
        std::lock_guard lock(mutex);
        for (const Release& release : kept) handouts[release.node] += release.count;
    }
    if (!nodes.empty()) send(std::move(nodes), std::move(counts));
}

}  // namespace brindle
