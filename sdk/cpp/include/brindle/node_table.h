#pragma once

#include "brindle/records.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace brindle::sdk {

// The root's id in a NodeTable.
inline constexpr NodeId kRootNode = 1;

// Node ids for a backend's objects, each with the backend's own value beside it. Ids come from a
// counter and are never reused, so an id that names a removed object can never name a new one.
// A node lives while its object has a name, or until the backend drops it; once unlinked it stays
// only while something pins it (a client holding it open), then goes. The root is never dropped.
// Safe from any thread.
template <typename Value>
class NodeTable {
    struct State;

public:
    struct Node {
        Value value;
        bool linked = true;  // false once the object lost its last name
    };

    // Keeps a node while it lives; unpins when destroyed. It may outlive the table.
    class Pin {
    public:
        Pin(Pin&& other) noexcept : state_(std::move(other.state_)), id_(other.id_) {}
        Pin& operator=(Pin&& other) noexcept {
            release();
            state_ = std::move(other.state_);
            id_ = other.id_;
            return *this;
        }
        Pin(const Pin&) = delete;
        Pin& operator=(const Pin&) = delete;
        ~Pin() { release(); }

        NodeId node() const { return id_; }

    private:
        friend class NodeTable;
        Pin(std::shared_ptr<State> state, NodeId id) : state_(std::move(state)), id_(id) {}
        void release() {
            if (state_) state_->unpin(id_);
            state_.reset();
        }

        std::shared_ptr<State> state_;
        NodeId id_ = 0;
    };

    explicit NodeTable(Value root) : state_(std::make_shared<State>()) {
        state_->nodes.emplace(kRootNode, Entry{Node{std::move(root), true}, 0});
    }

    // A new node holding `value`.
    NodeId add(Value value) {
        std::lock_guard lock(state_->mutex);
        const NodeId id = state_->next++;
        state_->nodes.emplace(id, Entry{Node{std::move(value), true}, 0});
        return id;
    }

    // Brings back, holding `value`, a node the backend dropped, under the id it had: for the same
    // object only, since an id never names two. False when the id was never issued or lives.
    bool restore(NodeId id, Value value) {
        std::lock_guard lock(state_->mutex);
        if (id <= kRootNode || id >= state_->next || state_->nodes.contains(id)) return false;
        state_->nodes.emplace(id, Entry{Node{std::move(value), true}, 0});
        return true;
    }

    // A copy of the node, or none when it is gone or was never issued.
    std::optional<Node> find(NodeId id) const {
        std::lock_guard lock(state_->mutex);
        const auto it = state_->nodes.find(id);
        if (it == state_->nodes.end()) return std::nullopt;
        return it->second.node;
    }

    // Calls `change(value)` on the node's value under the table's lock; false when there is no node.
    template <typename Change>
    bool update(NodeId id, Change&& change) {
        std::lock_guard lock(state_->mutex);
        const auto it = state_->nodes.find(id);
        if (it == state_->nodes.end()) return false;
        change(it->second.node.value);
        return true;
    }

    // Whether the id was ever handed out, the node being alive or not.
    bool issued(NodeId id) const {
        std::lock_guard lock(state_->mutex);
        return id >= kRootNode && id < state_->next;
    }

    // The object lost its last name: the node goes now, or when its last pin does.
    void unlink(NodeId id) {
        std::lock_guard lock(state_->mutex);
        const auto it = state_->nodes.find(id);
        if (it == state_->nodes.end() || id == kRootNode) return;
        it->second.node.linked = false;
        if (it->second.pins == 0) state_->nodes.erase(it);
    }

    // Lets a node go that nothing pins, linked or not (its clients no longer hold it); false when
    // it stays or there is none. The root stays.
    bool dropUnpinned(NodeId id) {
        std::lock_guard lock(state_->mutex);
        const auto it = state_->nodes.find(id);
        if (it == state_->nodes.end() || id == kRootNode || it->second.pins > 0) return false;
        state_->nodes.erase(it);
        return true;
    }

    // None when there is no such node.
    std::optional<Pin> pin(NodeId id) {
        std::lock_guard lock(state_->mutex);
        const auto it = state_->nodes.find(id);
        if (it == state_->nodes.end()) return std::nullopt;
        ++it->second.pins;
        return Pin(state_, id);
    }

    size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->nodes.size();
    }

private:
    struct Entry {
        Node node;
        size_t pins = 0;
    };
    struct State {
        std::mutex mutex;
        NodeId next = kRootNode + 1;
        std::unordered_map<NodeId, Entry> nodes;

        void unpin(NodeId id) {
            std::lock_guard lock(mutex);
            const auto it = nodes.find(id);
            if (it == nodes.end() || it->second.pins == 0) return;
            if (--it->second.pins == 0 && !it->second.node.linked) nodes.erase(it);
        }
    };

    std::shared_ptr<State> state_;
};

}  // namespace brindle::sdk
