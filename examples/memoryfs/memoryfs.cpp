// A read-write volume kept in memory: files, directories, symbolic links, extended attributes.
// One mutex guards the tree, since the SDK runs requests on many threads at once.
#include <brindle/server.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace sdk = brindle::sdk;
using sdk::Errno;
using sdk::Error;
using sdk::Item;
using sdk::NodeId;
using sdk::Result;

namespace {

// Bytes of file data and attribute values the volume holds at most.
constexpr uint64_t kCapacity = 1ull << 30;
constexpr uint64_t kDirectoryEntrySize = 20;
// Linux's limits on attributes, so that the volume refuses what a local disk refuses; the SDK
// refuses names over 255 bytes itself.
constexpr size_t kNameMax = 255;
constexpr size_t kXattrSizeMax = 65536;
constexpr Errno kE2big{7};

bool tooLong(const std::string& name) { return name.size() > kNameMax; }

// Bytes of file data and attribute values held, the removed objects' included until they go.
using Usage = std::shared_ptr<std::atomic<uint64_t>>;

struct Object {
    explicit Object(Usage usage) : usage(std::move(usage)) {}
    ~Object() {
        uint64_t held = data.size();
        for (const auto& [name, value] : xattrs) held += value.size();
        *usage -= held;
    }

    Usage usage;
    sdk::ItemType type = sdk::ItemType::file;
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    sdk::Time accessTime = sdk::Time::now();
    sdk::Time modifyTime = accessTime;
    sdk::Time changeTime = accessTime;
    sdk::Time birthTime = accessTime;
    std::string data;  // a file's contents, a symbolic link's target
    std::map<std::string, NodeId> children;
    size_t subdirectories = 0;
    std::map<std::string, std::string> xattrs;
    NodeId parent = sdk::kRootNode;
    std::string name;
    bool linked = true;

    void touch(bool modified = true) {
        changeTime = sdk::Time::now();
        if (modified) modifyTime = changeTime;
    }
};
using ObjectPtr = std::shared_ptr<Object>;

// Keeps an open object's node after its last name is gone.
struct Held final : sdk::OpenFile {
    explicit Held(sdk::NodeTable<ObjectPtr>::Pin pin) : pin(std::move(pin)) {}
    sdk::NodeTable<ObjectPtr>::Pin pin;
};

ObjectPtr makeObject(const Usage& usage, sdk::ItemType type, uint32_t mode, NodeId parent, std::string name) {
    auto object = std::make_shared<Object>(usage);
    object->type = type;
    object->mode = mode & 07777;
    object->uid = ::geteuid();
    object->gid = ::getegid();
    object->parent = parent;
    object->name = std::move(name);
    return object;
}

class MemoryFS final : public sdk::Backend {
public:
    MemoryFS() : nodes_(makeObject(used_, sdk::ItemType::directory, 0755, sdk::kRootNode, "/")) {}

    sdk::Capabilities capabilities() const override { return {.readOnly = false, .xattrs = true}; }
    bool issued(NodeId node) const override { return nodes_.issued(node); }

    Result<Item> getRootAttributes(const sdk::Call& call) override { return getAttributes(call, sdk::kRootNode); }

    Result<sdk::StatFS> statfs(const sdk::Call&) override {
        std::lock_guard lock(mutex_);
        sdk::StatFS figures;
        figures.blocks = kCapacity / figures.blockSize;
        figures.freeBlocks = figures.availableBlocks = (kCapacity - *used_) / figures.blockSize;
        figures.files = nodes_.size() + figures.freeBlocks;
        figures.freeFiles = figures.freeBlocks;
        return figures;
    }

    Result<Item> getAttributes(const sdk::Call&, NodeId node) override {
        std::lock_guard lock(mutex_);
        auto object = find(node);
        if (!object) return object.error();
        return item(node, *object.value());
    }

    Result<Item> setAttributes(const sdk::Call&, NodeId node, const sdk::AttributeChanges& changes) override {
        std::lock_guard lock(mutex_);
        auto found = find(node);
        if (!found) return found.error();
        Object& object = *found.value();
        if (changes.size) {
            if (object.type == sdk::ItemType::directory) return Error(Errno::eisdir, "cannot truncate a directory");
            if (object.type != sdk::ItemType::file) return Error(Errno::einval, "only files can be truncated");
            if (auto resized = resize(object, *changes.size); !resized) return resized.error();
            object.touch();
        }
        if (changes.mode) object.mode = *changes.mode & 07777;
        if (changes.uid) object.uid = *changes.uid;
        if (changes.gid) object.gid = *changes.gid;
        object.touch(false);
        if (changes.accessTime) object.accessTime = *changes.accessTime;
        if (changes.modifyTime) object.modifyTime = *changes.modifyTime;
        if (changes.birthTime) object.birthTime = *changes.birthTime;
        return item(node, object);
    }

    Result<Item> lookup(const sdk::Call&, NodeId parent, const std::string& name) override {
        std::lock_guard lock(mutex_);
        auto directory = findDirectory(parent);
        if (!directory) return directory.error();
        const auto child = directory.value()->children.find(name);
        if (child == directory.value()->children.end()) return Error(Errno::enoent, "no entry named " + name);
        return item(child->second, *find(child->second).value());
    }

    Result<Item> createFile(const sdk::Call&, NodeId parent, const std::string& name, uint32_t mode) override {
        return create(parent, name, sdk::ItemType::file, mode, {});
    }
    Result<Item> createDirectory(const sdk::Call&, NodeId parent, const std::string& name, uint32_t mode) override {
        return create(parent, name, sdk::ItemType::directory, mode, {});
    }
    Result<Item> createSymlink(const sdk::Call&, NodeId parent, const std::string& name,
                               const std::string& target) override {
        return create(parent, name, sdk::ItemType::symlink, 0777, target);
    }

    Result<void> removeFile(const sdk::Call&, NodeId parent, const std::string& name) override {
        return remove(parent, name, false);
    }
    Result<void> removeDirectory(const sdk::Call&, NodeId parent, const std::string& name) override {
        return remove(parent, name, true);
    }

    Result<void> rename(const sdk::Call&, NodeId parent, const std::string& name, NodeId newParent,
                        const std::string& newName) override {
        std::lock_guard lock(mutex_);
        auto from = findDirectory(parent);
        if (!from) return from.error();
        auto to = findDirectory(newParent);
        if (!to) return to.error();
        Object& source = *from.value();
        Object& destination = *to.value();
        const auto moving = source.children.find(name);
        if (moving == source.children.end()) return Error(Errno::enoent, "no entry named " + name);
        const NodeId node = moving->second;
        Object& object = *find(node).value();
        const bool isDirectory = object.type == sdk::ItemType::directory;
        for (NodeId above = newParent; isDirectory; above = find(above).value()->parent) {
            if (above == node) return Error(Errno::einval, "cannot move a directory into itself");
            if (above == sdk::kRootNode) break;
        }
        const auto replaced = destination.children.find(newName);
        if (replaced != destination.children.end()) {
            if (replaced->second == node) return {};
            Object& victim = *find(replaced->second).value();
            const bool victimIsDirectory = victim.type == sdk::ItemType::directory;
            if (isDirectory && !victimIsDirectory) return Error(Errno::enotdir, newName + " is not a directory");
            if (!isDirectory && victimIsDirectory) return Error(Errno::eisdir, newName + " is a directory");
            if (!victim.children.empty()) return Error(Errno::enotempty, newName + " is not empty");
            unlink(destination, replaced->second, victim);
            destination.children.erase(replaced);
        }
        source.children.erase(moving);
        destination.children[newName] = node;
        if (isDirectory) {
            --source.subdirectories;
            ++destination.subdirectories;
        }
        object.parent = newParent;
        object.name = newName;
        object.touch(false);
        source.touch();
        destination.touch();
        return {};
    }

    Result<std::string> readlink(const sdk::Call&, NodeId node) override {
        std::lock_guard lock(mutex_);
        auto object = find(node);
        if (!object) return object.error();
        if (object.value()->type != sdk::ItemType::symlink) return Error(Errno::einval, "not a symbolic link");
        return object.value()->data;
    }

    Result<void> listDirectory(const sdk::Call&, NodeId node, sdk::Listing& names) override {
        std::lock_guard lock(mutex_);
        auto directory = findDirectory(node);
        if (!directory) return directory.error();
        for (const auto& [name, child] : directory.value()->children) names.add(name);
        return {};
    }

    Result<std::shared_ptr<sdk::OpenFile>> open(const sdk::Call&, NodeId node, uint32_t) override {
        auto pin = nodes_.pin(node);
        if (!pin) return Error(Errno::enoent, "node " + std::to_string(node) + " has been removed");
        return std::shared_ptr<sdk::OpenFile>(std::make_shared<Held>(std::move(*pin)));
    }

    Result<size_t> read(const sdk::Call&, NodeId node, uint64_t offset, std::span<char> buffer) override {
        std::lock_guard lock(mutex_);
        auto file = findFile(node);
        if (!file) return file.error();
        const std::string& data = file.value()->data;
        if (offset >= data.size()) return size_t{0};
        const size_t count = std::min<uint64_t>(buffer.size(), data.size() - offset);
        std::memcpy(buffer.data(), data.data() + offset, count);
        return count;
    }

    Result<size_t> write(const sdk::Call&, NodeId node, uint64_t offset, std::string_view data) override {
        std::lock_guard lock(mutex_);
        auto file = findFile(node);
        if (!file) return file.error();
        Object& object = *file.value();
        if (offset > kCapacity || data.size() > kCapacity - offset) return Error(Errno::efbig, "file too large");
        if (offset + data.size() > object.data.size()) {
            if (auto grown = resize(object, offset + data.size()); !grown) return grown.error();
        }
        std::memcpy(object.data.data() + offset, data.data(), data.size());
        object.touch();
        return data.size();
    }

    Result<std::vector<std::string>> listXattrs(const sdk::Call&, NodeId node) override {
        std::lock_guard lock(mutex_);
        auto object = find(node);
        if (!object) return object.error();
        std::vector<std::string> names;
        for (const auto& [name, value] : object.value()->xattrs) names.push_back(name);
        return names;
    }

    Result<std::string> getXattr(const sdk::Call&, NodeId node, const std::string& name) override {
        std::lock_guard lock(mutex_);
        auto object = find(node);
        if (!object) return object.error();
        const auto found = object.value()->xattrs.find(name);
        if (found == object.value()->xattrs.end()) return Error(Errno::enoattr, "no attribute named " + name);
        return found->second;
    }

    Result<void> setXattr(const sdk::Call&, NodeId node, const std::string& name, std::string_view value,
                          int32_t flags) override {
        std::lock_guard lock(mutex_);
        auto found = find(node);
        if (!found) return found.error();
        if (name.empty() || tooLong(name)) return Error(Errno::erange, "an attribute's name has 1 to 255 bytes");
        if (value.size() > kXattrSizeMax) return Error(kE2big, "an attribute holds at most 64 KiB");
        Object& object = *found.value();
        const auto existing = object.xattrs.find(name);
        const bool exists = existing != object.xattrs.end();
        if ((flags & sdk::kXattrCreate) && exists) return Error(Errno::eexist, "attribute " + name + " exists");
        if ((flags & sdk::kXattrReplace) && !exists) return Error(Errno::enoattr, "no attribute named " + name);
        const uint64_t old = exists ? existing->second.size() : 0;
        if (value.size() > old && value.size() - old > kCapacity - *used_) return Error(Errno::enospc, "volume full");
        *used_ += value.size() - old;
        object.xattrs[name] = std::string(value);
        object.touch(false);
        return {};
    }

    Result<void> removeXattr(const sdk::Call&, NodeId node, const std::string& name) override {
        std::lock_guard lock(mutex_);
        auto found = find(node);
        if (!found) return found.error();
        Object& object = *found.value();
        const auto existing = object.xattrs.find(name);
        if (existing == object.xattrs.end()) return Error(Errno::enoattr, "no attribute named " + name);
        *used_ -= existing->second.size();
        object.xattrs.erase(existing);
        object.touch(false);
        return {};
    }

private:
    Result<ObjectPtr> find(NodeId node) const {
        auto found = nodes_.find(node);
        if (!found) return Error(Errno::enoent, "node " + std::to_string(node) + " has been removed");
        return found->value;
    }
    Result<ObjectPtr> findDirectory(NodeId node) const {
        auto object = find(node);
        if (object && object.value()->type != sdk::ItemType::directory) return Error(Errno::enotdir, "not a directory");
        return object;
    }
    Result<ObjectPtr> findFile(NodeId node) const {
        auto object = find(node);
        if (object && object.value()->type == sdk::ItemType::directory) return Error(Errno::eisdir, "a directory");
        if (object && object.value()->type != sdk::ItemType::file) return Error(Errno::einval, "not a file");
        return object;
    }

    static Item item(NodeId node, const Object& object) {
        sdk::Attributes attributes{.type = object.type, .mode = object.mode, .linkCount = object.linked ? 1u : 0u,
                                   .uid = object.uid, .gid = object.gid, .size = object.data.size(),
                                   .accessTime = object.accessTime, .modifyTime = object.modifyTime,
                                   .changeTime = object.changeTime, .birthTime = object.birthTime};
        if (object.type == sdk::ItemType::directory) {
            attributes.size = kDirectoryEntrySize * (object.children.size() + 2);
            attributes.linkCount = static_cast<uint32_t>(object.subdirectories + (object.linked ? 2 : 0));
        }
        return Item{node, attributes, object.parent, object.name};
    }

    // File data counts against the capacity; growing past it is refused.
    Result<void> resize(Object& file, uint64_t size) {
        const uint64_t old = file.data.size();
        if (size > kCapacity) return Error(Errno::efbig, "file too large");
        if (size > old && size - old > kCapacity - *used_) return Error(Errno::enospc, "volume full");
        file.data.resize(size);
        *used_ += size - old;
        return {};
    }

    Result<Item> create(NodeId parent, const std::string& name, sdk::ItemType type, uint32_t mode,
                        const std::string& target) {
        std::lock_guard lock(mutex_);
        auto found = findDirectory(parent);
        if (!found) return found.error();
        Object& directory = *found.value();
        if (directory.children.contains(name)) return Error(Errno::eexist, name + " exists");
        auto object = makeObject(used_, type, mode, parent, name);
        object->data = target;
        const NodeId node = nodes_.add(object);
        directory.children.emplace(name, node);
        if (type == sdk::ItemType::directory) ++directory.subdirectories;
        directory.touch();
        return item(node, *object);
    }

    Result<void> remove(NodeId parent, const std::string& name, bool wantDirectory) {
        std::lock_guard lock(mutex_);
        auto found = findDirectory(parent);
        if (!found) return found.error();
        Object& directory = *found.value();
        const auto entry = directory.children.find(name);
        if (entry == directory.children.end()) return Error(Errno::enoent, "no entry named " + name);
        Object& object = *find(entry->second).value();
        const bool isDirectory = object.type == sdk::ItemType::directory;
        if (wantDirectory && !isDirectory) return Error(Errno::enotdir, name + " is not a directory");
        if (!wantDirectory && isDirectory) return Error(Errno::eisdir, name + " is a directory");
        if (!object.children.empty()) return Error(Errno::enotempty, name + " is not empty");
        unlink(directory, entry->second, object);
        directory.children.erase(entry);
        directory.touch();
        return {};
    }

    // The object's last name is gone; its data goes with its node once no client holds it open.
    void unlink(Object& directory, NodeId node, Object& object) {
        if (object.type == sdk::ItemType::directory) --directory.subdirectories;
        object.linked = false;
        object.touch(false);
        nodes_.unlink(node);
    }

    std::mutex mutex_;
    Usage used_ = std::make_shared<std::atomic<uint64_t>>(0);
    sdk::NodeTable<ObjectPtr> nodes_;
};

}  // namespace

int main(int argc, char** argv) {
    sdk::ProgramSettings settings;
    const sdk::CommandLine commandLine("memoryfs", "Serves a read-write volume kept in memory.", sdk::version());
    if (const int status = commandLine.parseOrExit(argc, argv, settings); status >= 0) return status;
    MemoryFS memory;
    return sdk::run(memory, settings, "memoryfs");
}
