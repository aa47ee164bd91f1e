#include "sdk/cpp/dispatch/pending_changes.h"

#include <functional>

namespace brindle::sdk {

size_t PendingChanges::EntryHash::operator()(const Entry& entry) const {
    return std::hash<std::string_view>{}(entry.name) ^ (std::hash<NodeId>{}(entry.parent) * 0x9e3779b97f4a7c15ULL);
}

void PendingChanges::overflow() {
    everything_ = true;
    // Swapped out, not cleared: a cleared table keeps the memory the flood made it take.
    std::unordered_set<NodeId>().swap(nodes_);
    std::vector<NodeId>().swap(nodeOrder_);
    std::unordered_set<Entry, EntryHash>().swap(entries_);
    std::vector<Entry>().swap(entryOrder_);
}

void PendingChanges::nodeChanged(NodeId node) {
    if (everything_ || nodes_.contains(node)) return;
    if (full()) return overflow();
    nodes_.insert(node);
    nodeOrder_.push_back(node);
}

void PendingChanges::entryChanged(NodeId parent, std::string_view name) {
    if (everything_) return;
    Entry entry{parent, std::string(name)};
    if (entries_.contains(entry)) return;
    if (full()) return overflow();
    entries_.insert(entry);
    entryOrder_.push_back(std::move(entry));
}

PendingChanges::Batch PendingChanges::take() {
    Batch batch;
    batch.everything = everything_;
    batch.nodes = std::move(nodeOrder_);
    batch.entries = std::move(entryOrder_);
    everything_ = false;
    nodeOrder_.clear();
    entryOrder_.clear();
    std::unordered_set<NodeId>().swap(nodes_);
    std::unordered_set<Entry, EntryHash>().swap(entries_);
    return batch;
}

}  // namespace brindle::sdk
