#include "brindle/backend.h"

namespace brindle::sdk {

namespace {
Error notImplemented() { return Error(Errno::enosys, "not implemented by this server"); }
}  // namespace

void Backend::serving(OutsideChanges&) {}
void Backend::stopping() {}

Result<void> Backend::ping(const Call&) { return {}; }
Result<void> Backend::synchronize(const Call&, uint32_t) { return {}; }
Result<Item> Backend::getRootAttributes(const Call&) { return notImplemented(); }
Result<StatFS> Backend::statfs(const Call&) { return StatFS{}; }

Result<Item> Backend::getAttributes(const Call&, NodeId) { return notImplemented(); }
Result<Item> Backend::setAttributes(const Call&, NodeId, const AttributeChanges&) { return notImplemented(); }

Result<Item> Backend::lookup(const Call&, NodeId, const std::string&) { return notImplemented(); }
Result<Item> Backend::createFile(const Call&, NodeId, const std::string&, uint32_t) { return notImplemented(); }
Result<Backend::CreatedFile> Backend::createOpenFile(const Call& call, NodeId parent, const std::string& name,
                                                     uint32_t mode, uint32_t) {
    auto item = createFile(call, parent, name, mode);
    if (!item) return item.error();
    return CreatedFile{std::move(item.value()), nullptr};
}
Result<Item> Backend::createDirectory(const Call&, NodeId, const std::string&, uint32_t) { return notImplemented(); }
Result<Item> Backend::createSymlink(const Call&, NodeId, const std::string&, const std::string&) {
    return notImplemented();
}
Result<void> Backend::removeFile(const Call&, NodeId, const std::string&) { return notImplemented(); }
Result<void> Backend::removeDirectory(const Call&, NodeId, const std::string&) { return notImplemented(); }
Result<void> Backend::rename(const Call&, NodeId, const std::string&, NodeId, const std::string&) {
    return notImplemented();
}
Result<std::string> Backend::readlink(const Call&, NodeId) { return notImplemented(); }

Result<std::shared_ptr<OpenDirectory>> Backend::openDirectory(const Call& call, NodeId node) {
    auto item = getAttributes(call, node);
    if (!item) return item.error();
    if (item.value().attributes.type != ItemType::directory) return Error(Errno::enotdir, "not a directory");
    return std::make_shared<OpenDirectory>();
}
Result<void> Backend::closeDirectory(const Call&, NodeId) { return {}; }
Result<void> Backend::listDirectory(const Call&, NodeId, Listing&) { return notImplemented(); }
Result<EntryLookup> Backend::listingLookup(const Call& call, NodeId directory) {
    return EntryLookup([this, &call, directory](const std::string& name) { return lookup(call, directory, name); });
}

Result<std::shared_ptr<OpenFile>> Backend::open(const Call&, NodeId, uint32_t) {
    return std::make_shared<OpenFile>();
}
Result<void> Backend::close(const Call&, NodeId, uint32_t) { return {}; }
Result<size_t> Backend::read(const Call&, NodeId, uint64_t, std::span<char>) { return notImplemented(); }
Result<size_t> Backend::write(const Call&, NodeId, uint64_t, std::string_view) { return notImplemented(); }
Result<Appended> Backend::append(const Call&, NodeId, std::string_view) { return notImplemented(); }

Result<std::vector<std::string>> Backend::listXattrs(const Call&, NodeId) { return notImplemented(); }
Result<std::string> Backend::getXattr(const Call&, NodeId, const std::string&) { return notImplemented(); }
Result<void> Backend::setXattr(const Call&, NodeId, const std::string&, std::string_view, int32_t) {
    return notImplemented();
}
Result<void> Backend::removeXattr(const Call&, NodeId, const std::string&) { return notImplemented(); }

void Backend::forget(const Call&, NodeId, uint64_t) {}
void Backend::connectionEnded(uint64_t) {}

}  // namespace brindle::sdk
