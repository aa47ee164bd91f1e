#include "host/fuse/ops/directory_packer.h"

#include "host/fuse/translation/attribute_conversion.h"

#include <fuse_lowlevel.h>

namespace brindle::host {

namespace {

// A name the kernel cannot take: empty, or holding a slash or a NUL byte.
bool isUnusableName(const std::string& name) {
    return name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos;
}

bool isDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

DirectoryPacker::DirectoryPacker(size_t capacity, bool plus,
                                 std::function<uint64_t(uint64_t)> inodeForNodeID,
                                 std::function<ItemPtr(uint64_t)> itemForNodeID, Timeouts timeouts,
                                 AttributePresentation presentation)
    : plus_(plus), inodeForNodeID_(std::move(inodeForNodeID)),
      itemForNodeID_(std::move(itemForNodeID)), timeouts_(timeouts), presentation_(presentation),
      buffer_(capacity, '\0') {}

bool DirectoryPacker::packEntry(const fskit::FSFileName& name, int64_t itemType, uint64_t itemID,
                                uint64_t nextCookie, const std::optional<fskit::FSItemAttributes>& attributes) {
    const std::string& bytes = name.data();
    if (itemID == 0) return true;
    // Skipped rather than refused: refusing would end the listing here for good.
    if (isUnusableName(bytes)) {
        unreferenced_.push_back(itemID);
        return true;
    }
    const uint64_t inode = inodeForNodeID_(itemID);
    const off_t offset = static_cast<off_t>(nextCookie);
    char* const place = buffer_.data() + used_;
    const size_t room = buffer_.size() - used_;
    size_t needed = 0;
    ItemPtr referenced;
    if (plus_) {
        fuse_entry_param entry{};
        if (attributes && !isDotOrDotDot(bytes)) referenced = itemForNodeID_(itemID);
        if (referenced) {
            entry.ino = inode;
            entry.attr = statFromAttributes(*attributes, inode, presentation_);
            entry.attr_timeout = timeouts_.attr;
            entry.entry_timeout = timeouts_.entry;
        } else {
            entry.attr.st_ino = inode;
            entry.attr.st_mode = fileTypeBitsForItemType(itemType);
        }
        needed = fuse_add_direntry_plus(nullptr, place, room, bytes.c_str(), &entry, offset);
    } else {
        struct stat status {};
        status.st_ino = inode;
        status.st_mode = fileTypeBitsForItemType(itemType);
        needed = fuse_add_direntry(nullptr, place, room, bytes.c_str(), &status, offset);
    }
    if (needed > room) {
        full_ = true;
        unreferenced_.push_back(itemID);
        return false;
    }
    used_ += needed;
    ++entries_;
    lastOffset_ = nextCookie;
    if (referenced)
        referenced_.push_back({std::move(referenced), bytes});
    else
        unreferenced_.push_back(itemID);
    return true;
}

}  // namespace brindle::host
