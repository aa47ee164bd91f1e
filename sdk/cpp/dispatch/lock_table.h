#pragma once

#include "brindle/records.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace brindle::sdk {

// The locks every connection holds, by node: byte-range locks and whole-file (flock) locks, which
// never conflict with each other. A holder is one owner of one connection, so two clients never
// share a lock however they number their owners. Nothing here waits: a conflicting request is
// answered with the lock in its way, and the client asks again.
class LockTable {
public:
    enum class Style { posix, flock };
    enum class Type { read, write, unlock };
    // `end` is one past the last byte; kToEnd covers the file however far it grows.
    static constexpr uint64_t kToEnd = UINT64_MAX;

    struct Lock {
        uint64_t connection = 0;
        uint64_t owner = 0;
        Style style = Style::posix;
        Type type = Type::read;
        uint64_t start = 0;
        uint64_t end = kToEnd;
        uint64_t pid = 0;
    };

    explicit LockTable(size_t limitPerConnection) : limitPerConnection_(limitPerConnection) {}

    enum class Outcome { done, conflict, full };
    struct Answer {
        Outcome outcome = Outcome::done;
        // The lock in the way, for a conflict.
        std::optional<Lock> conflicting;
    };
    // Takes, changes or (Type::unlock) releases what `wanted` covers for its holder, all or nothing.
    Answer set(NodeId node, const Lock& wanted);
    // The first lock of another holder that would refuse `wanted`; none when it would be granted.
    std::optional<Lock> test(NodeId node, const Lock& wanted) const;
    // Releases every lock the connection holds.
    void removeConnection(uint64_t connection);
    size_t heldBy(uint64_t connection) const;

private:
    const size_t limitPerConnection_;
    mutable std::mutex mutex_;
    std::unordered_map<NodeId, std::vector<Lock>> locks_;
    std::unordered_map<uint64_t, size_t> heldByConnection_;
};

}  // namespace brindle::sdk
