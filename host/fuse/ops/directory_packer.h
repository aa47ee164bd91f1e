#pragma once

#include "host/fuse/inodes/inode_table.h"
#include "host/fuse/options/attribute_presentation.h"
#include "platform/fskit/directory_entry_packer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brindle::host {

// Packs listing entries into a readdir or readdirplus reply buffer of the size the kernel asked
// for. With attributes (readdirplus) each packed entry other than "." and ".." hands the kernel a
// reference to its item, which `referencedItems` lists with its name so the caller can count it
// once the reply is out. An entry whose attributes or item are missing goes out without a reference (inode 0).
// Every other entry the volume offered, packed or not, is listed by `unreferencedNodeIDs`: the
// volume tracks its item for this listing alone, and the caller lets the ones the kernel does not
// hold go again.
class DirectoryPacker final : public fskit::FSDirectoryEntryPacker {
public:
    struct Timeouts {
        double attr = 1.0;
        double entry = 1.0;
    };

    using ItemPtr = std::shared_ptr<BrindleItem>;
    struct Referenced {
        ItemPtr item;
        std::string name;
    };

    // libfuse encodes entries without looking at the request they are for, so none is needed.
    DirectoryPacker(size_t capacity, bool plus, std::function<uint64_t(uint64_t)> inodeForNodeID,
                    std::function<ItemPtr(uint64_t)> itemForNodeID, Timeouts timeouts,
                    AttributePresentation presentation);

    bool packEntry(const fskit::FSFileName& name, int64_t itemType, uint64_t itemID, uint64_t nextCookie,
                   const std::optional<fskit::FSItemAttributes>& attributes) override;

    const char* data() const { return buffer_.data(); }
    size_t size() const { return used_; }
    size_t entryCount() const { return entries_; }
    const std::vector<Referenced>& referencedItems() const { return referenced_; }
    const std::vector<uint64_t>& unreferencedNodeIDs() const { return unreferenced_; }
    // True once an entry did not fit: the listing goes on past what was packed.
    bool isFull() const { return full_; }
    // The offset after the last packed entry, or `start` when none was packed.
    uint64_t offsetAfterLastEntry(uint64_t start) const { return entries_ == 0 ? start : lastOffset_; }

private:
    bool plus_;
    std::function<uint64_t(uint64_t)> inodeForNodeID_;
    std::function<ItemPtr(uint64_t)> itemForNodeID_;
    Timeouts timeouts_;
    AttributePresentation presentation_;
    std::string buffer_;
    size_t used_ = 0;
    size_t entries_ = 0;
    bool full_ = false;
    uint64_t lastOffset_ = 0;
    std::vector<Referenced> referenced_;
    std::vector<uint64_t> unreferenced_;
};

}  // namespace brindle::host
