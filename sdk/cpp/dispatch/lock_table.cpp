#include "sdk/cpp/dispatch/lock_table.h"

#include <algorithm>

namespace brindle::sdk {

namespace {

bool sameHolder(const LockTable::Lock& a, const LockTable::Lock& b) {
    return a.connection == b.connection && a.owner == b.owner && a.style == b.style;
}

bool overlaps(const LockTable::Lock& a, const LockTable::Lock& b) { return a.start < b.end && b.start < a.end; }

bool refuses(const LockTable::Lock& held, const LockTable::Lock& wanted) {
    if (held.style != wanted.style || sameHolder(held, wanted) || !overlaps(held, wanted)) return false;
    return held.type == LockTable::Type::write || wanted.type == LockTable::Type::write;
}

std::optional<LockTable::Lock> firstRefusing(const std::vector<LockTable::Lock>& held, const LockTable::Lock& wanted) {
    const auto found = std::find_if(held.begin(), held.end(), [&](const auto& lock) { return refuses(lock, wanted); });
    if (found == held.end()) return std::nullopt;
    return *found;
}

// The holder's locks with `wanted`'s range cut out of them: what lies beyond the range on either
// side stays, as fcntl leaves the rest of a range that is locked anew or unlocked.
std::vector<LockTable::Lock> withRangeCut(const std::vector<LockTable::Lock>& held, const LockTable::Lock& wanted) {
    std::vector<LockTable::Lock> kept;
    kept.reserve(held.size() + 1);
    for (const auto& lock : held) {
        if (!sameHolder(lock, wanted) || !overlaps(lock, wanted)) {
            kept.push_back(lock);
            continue;
        }
        if (lock.start < wanted.start) {
            auto before = lock;
            before.end = wanted.start;
            kept.push_back(before);
        }
        if (wanted.end < lock.end) {
            auto after = lock;
            after.start = wanted.end;
            kept.push_back(after);
        }
    }
    return kept;
}

}  // namespace

LockTable::Answer LockTable::set(NodeId node, const Lock& wanted) {
    std::lock_guard guard(mutex_);
    auto& held = locks_[node];
    if (wanted.type != Type::unlock) {
        if (auto conflicting = firstRefusing(held, wanted)) return {Outcome::conflict, conflicting};
    }
    auto kept = withRangeCut(held, wanted);
    if (wanted.type != Type::unlock) kept.push_back(wanted);
    const auto ofConnection = [&](const Lock& lock) { return lock.connection == wanted.connection; };
    const auto counted = heldByConnection_.find(wanted.connection);
    const size_t before = counted == heldByConnection_.end() ? 0 : counted->second;
    const size_t after = before - std::count_if(held.begin(), held.end(), ofConnection) +
                         std::count_if(kept.begin(), kept.end(), ofConnection);
    // Splitting a range adds a lock; past the limit only what frees locks is done.
    if (after > limitPerConnection_ && after > before) {
        if (held.empty()) locks_.erase(node);
        return {Outcome::full, std::nullopt};
    }
    if (after == 0) {
        heldByConnection_.erase(wanted.connection);
    } else {
        heldByConnection_[wanted.connection] = after;
    }
    if (kept.empty()) {
        locks_.erase(node);
    } else {
        held = std::move(kept);
    }
    return {};
}

std::optional<LockTable::Lock> LockTable::test(NodeId node, const Lock& wanted) const {
    std::lock_guard guard(mutex_);
    const auto found = locks_.find(node);
    if (found == locks_.end()) return std::nullopt;
    return firstRefusing(found->second, wanted);
}

void LockTable::removeConnection(uint64_t connection) {
    std::lock_guard guard(mutex_);
    if (heldByConnection_.erase(connection) == 0) return;
    for (auto entry = locks_.begin(); entry != locks_.end();) {
        std::erase_if(entry->second, [&](const Lock& lock) { return lock.connection == connection; });
        entry = entry->second.empty() ? locks_.erase(entry) : std::next(entry);
    }
}

size_t LockTable::heldBy(uint64_t connection) const {
    std::lock_guard guard(mutex_);
    const auto found = heldByConnection_.find(connection);
    return found == heldByConnection_.end() ? 0 : found->second;
}

}  // namespace brindle::sdk
