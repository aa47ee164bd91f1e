#include "host/fuse/inodes/forgotten_inodes.h"

#include <algorithm>

namespace brindle::host {

ForgottenInodes::ForgottenInodes(size_t capacity, uint64_t firstOwnInode)
    : capacity_(capacity), firstOwnInode_(firstOwnInode) {}

void ForgottenInodes::eraseRecord(std::unordered_map<uint64_t, Record>::iterator found) {
    const Record& record = found->second;
    if (record.name) {
        const auto named = inodeOfName_.find(*record.name);
        if (named != inodeOfName_.end() && named->second == found->first) inodeOfName_.erase(named);
    }
    if (record.nodeID) {
        const auto node = inodeOfNode_.find(*record.nodeID);
        if (node != inodeOfNode_.end() && node->second == found->first) inodeOfNode_.erase(node);
    }
    oldestFirst_.erase(record.age);
    records_.erase(found);
}

void ForgottenInodes::keep(uint64_t inode, std::optional<EntryName> name, const ObjectIdentity& identity,
                           std::optional<uint64_t> nodeID) {
    if (capacity_ == 0) return;
    if (const auto found = records_.find(inode); found != records_.end()) eraseRecord(found);
    if (records_.size() >= capacity_) {
        const auto oldest = records_.find(oldestFirst_.front());
        if (oldest->first < firstOwnInode_) highestEvicted_ = std::max(highestEvicted_, oldest->first);
        eraseRecord(oldest);
    }
    if (name) {
        // An older record under the name keeps its number from others, but no object finds it by name.
        if (const auto named = inodeOfName_.find(*name); named != inodeOfName_.end())
            records_.at(named->second).name.reset();
        inodeOfName_[*name] = inode;
    }
    if (nodeID) {
        if (const auto node = inodeOfNode_.find(*nodeID); node != inodeOfNode_.end())
            records_.at(node->second).nodeID.reset();
        inodeOfNode_[*nodeID] = inode;
    }
    oldestFirst_.push_back(inode);
    records_.emplace(inode, Record{std::move(name), identity, nodeID, std::prev(oldestFirst_.end())});
}

std::optional<uint64_t> ForgottenInodes::inodeNamed(const EntryName& name, const BrindleItem& found,
                                                    uint64_t nodeID) const {
    const auto named = inodeOfName_.find(name);
    if (named == inodeOfName_.end()) return std::nullopt;
    const Record& record = records_.at(named->second);
    // The same server gave the forgotten object another node: the name leads to another object.
    if (record.nodeID && *record.nodeID != nodeID) return std::nullopt;
    if (!record.identity.matches(found)) return std::nullopt;
    return named->second;
}

std::optional<uint64_t> ForgottenInodes::inodeOfNode(uint64_t nodeID) const {
    const auto node = inodeOfNode_.find(nodeID);
    if (node == inodeOfNode_.end()) return std::nullopt;
    return node->second;
}

void ForgottenInodes::handedOut(uint64_t inode) {
    if (const auto found = records_.find(inode); found != records_.end()) eraseRecord(found);
}

void ForgottenInodes::startGeneration() {
    inodeOfNode_.clear();
    for (auto& [inode, record] : records_) record.nodeID.reset();
}

bool ForgottenInodes::reserves(uint64_t inode) const {
    return records_.contains(inode) || (inode < firstOwnInode_ && inode <= highestEvicted_);
}

size_t ForgottenInodes::size() const { return records_.size(); }

}  // namespace brindle::host
