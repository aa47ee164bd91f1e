#include "sdk/cpp/dispatch/directory_handles.h"

#include "sdk/cpp/dispatch/connection_share.h"

#include <algorithm>

namespace brindle::sdk {

namespace {

// Generations stay below 2^31 so that a cookie (generation above bit 32) fits a signed 64-bit number.
constexpr uint32_t kLastGeneration = 0x7fffffff;

}  // namespace

void PackedNames::add(std::string_view name) {
    starts_.push_back(static_cast<uint32_t>(buffer_.size()));
    buffer_.append(name);
    buffer_.push_back('\0');
}

std::string_view PackedNames::operator[](size_t index) const {
    const size_t start = starts_[index];
    const size_t end = index + 1 < starts_.size() ? starts_[index + 1] - 1 : buffer_.size() - 1;
    return std::string_view(buffer_).substr(start, end - start);
}

void PackedNames::sort() {
    std::vector<uint32_t> order(starts_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    std::sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) { return (*this)[a] < (*this)[b]; });
    PackedNames sorted;
    sorted.buffer_.reserve(buffer_.size());
    sorted.starts_.reserve(starts_.size());
    for (const uint32_t index : order) sorted.add((*this)[index]);
    *this = std::move(sorted);
}

size_t PackedNames::firstAfter(std::string_view name) const {
    size_t low = 0;
    size_t high = starts_.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if ((*this)[middle] <= name) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

PackedNames PackedNames::slice(size_t begin, size_t end) const {
    PackedNames part;
    for (size_t index = begin; index < std::min(end, starts_.size()); ++index) part.add((*this)[index]);
    part.shrink();
    return part;
}

void PackedNames::shrink() {
    buffer_.shrink_to_fit();
    starts_.shrink_to_fit();
}

DirectoryHandles::DirectoryHandles(size_t handleLimit, size_t listingBudget)
    : handleLimit_(handleLimit), handleShare_(connectionShare(handleLimit)), listingBudget_(listingBudget) {}

std::optional<uint64_t> DirectoryHandles::open(uint64_t connectionID, uint64_t nodeID,
                                               std::shared_ptr<OpenDirectory> directory) {
    std::lock_guard lock(mutex_);
    if (handles_.size() >= handleLimit_) return std::nullopt;
    if (const auto held = heldBy_.find(connectionID); held != heldBy_.end() && held->second >= handleShare_) {
        return std::nullopt;
    }
    ++heldBy_[connectionID];
    const uint64_t handle = next_++;
    handles_.emplace(handle, Handle{connectionID, nodeID, std::move(directory)});
    return handle;
}

std::shared_ptr<OpenDirectory> DirectoryHandles::directory(uint64_t connectionID, uint64_t nodeID) const {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, directory] : handles_)
        if (directory.connectionID == connectionID && directory.nodeID == nodeID) return directory.directory;
    return nullptr;
}

std::optional<uint64_t> DirectoryHandles::nodeOf(uint64_t connectionID, uint64_t handle) const {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.connectionID != connectionID) return std::nullopt;
    return it->second.nodeID;
}

bool DirectoryHandles::close(uint64_t connectionID, uint64_t handle, uint64_t nodeID) {
    std::shared_ptr<OpenDirectory> closed;  // let go after the lock
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.nodeID != nodeID || it->second.connectionID != connectionID) return false;
    for (const auto listing : it->second.listings) releaseLocked(listing);
    closed = std::move(it->second.directory);
    handles_.erase(it);
    if (const auto held = heldBy_.find(connectionID); --held->second == 0) heldBy_.erase(held);
    return true;
}

void DirectoryHandles::closeConnection(uint64_t connectionID) {
    std::vector<std::shared_ptr<OpenDirectory>> closed;  // let go after the lock
    std::lock_guard lock(mutex_);
    for (auto it = handles_.begin(); it != handles_.end();) {
        if (it->second.connectionID != connectionID) {
            ++it;
            continue;
        }
        for (const auto listing : it->second.listings) releaseLocked(listing);
        closed.push_back(std::move(it->second.directory));
        it = handles_.erase(it);
    }
    heldBy_.erase(connectionID);
}

size_t DirectoryHandles::size() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::optional<uint32_t> DirectoryHandles::beginListing(uint64_t handle, Names names) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return std::nullopt;
    Handle& directory = it->second;
    const uint32_t generation = directory.nextGeneration;
    directory.nextGeneration = generation == kLastGeneration ? 1 : generation + 1;
    keptBytes_ += names->bytes();
    directory.listings.push_back(kept_.insert(kept_.end(), Kept{handle, generation, std::move(names)}));
    if (directory.listings.size() > kListingsPerHandle) {
        releaseLocked(directory.listings.front());
        directory.listings.erase(directory.listings.begin());
    }
    keepWithinBudgetLocked();
    return generation;
}

void DirectoryHandles::keepWithinBudgetLocked() {
    while (keptBytes_ > listingBudget_) {
        // The newest listing stays even alone over budget: without it its client could not page at all.
        const auto newest = std::prev(kept_.end());
        auto victim = std::find_if(kept_.begin(), newest, [](const Kept& kept) { return kept.whole; });
        if (victim != newest) {
            // The name before the page too, for a client that asks for the same page again.
            const size_t first = victim->servedBegin > 0 ? victim->servedBegin - 1 : 0;
            if (victim->servedEnd > first) {
                keptBytes_ -= victim->names->bytes();
                victim->names = std::make_shared<const PackedNames>(victim->names->slice(first, victim->servedEnd));
                keptBytes_ += victim->names->bytes();
                victim->whole = false;
                victim->first = first;
            } else {
                forgetLocked(victim);
            }
            continue;
        }
        victim = std::find_if(kept_.begin(), newest, [](const Kept& kept) { return !kept.whole; });
        if (victim == newest) return;
        forgetLocked(victim);
    }
}

void DirectoryHandles::forgetLocked(KeptList::iterator listing) {
    auto& listings = handles_.at(listing->handle).listings;
    listings.erase(std::find(listings.begin(), listings.end(), listing));
    releaseLocked(listing);
}

void DirectoryHandles::releaseLocked(KeptList::iterator listing) {
    keptBytes_ -= listing->names->bytes();
    kept_.erase(listing);
}

DirectoryHandles::KeptList::const_iterator DirectoryHandles::findLocked(uint64_t handle, uint32_t generation) const {
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return kept_.end();
    for (const auto listing : it->second.listings)
        if (listing->generation == generation) return listing;
    return kept_.end();
}

DirectoryHandles::Names DirectoryHandles::listing(uint64_t handle, uint32_t generation) const {
    std::lock_guard lock(mutex_);
    const auto listing = findLocked(handle, generation);
    return listing != kept_.end() && listing->whole ? listing->names : nullptr;
}

void DirectoryHandles::served(uint64_t handle, uint32_t generation, size_t begin, size_t end) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return;
    for (const auto listing : it->second.listings) {
        if (listing->generation != generation || !listing->whole) continue;
        listing->servedBegin = begin;
        listing->servedEnd = end;
    }
}

std::optional<std::string> DirectoryHandles::nameBefore(uint64_t handle, uint32_t generation, size_t position) const {
    std::lock_guard lock(mutex_);
    const auto listing = findLocked(handle, generation);
    if (listing == kept_.end() || position <= listing->first) return std::nullopt;
    const size_t index = position - 1 - listing->first;
    if (index >= listing->names->size()) return std::nullopt;
    return std::string((*listing->names)[index]);
}

size_t DirectoryHandles::keptBytes() const {
    std::lock_guard lock(mutex_);
    return keptBytes_;
}

}  // namespace brindle::sdk
