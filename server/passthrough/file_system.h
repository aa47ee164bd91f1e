#pragma once

#include "brindle/backend.h"
#include "brindle/unique_fd.h"
#include "server/passthrough/export_root.h"
#include "server/passthrough/export_watch.h"
#include "server/passthrough/node_table.h"

#include <sys/stat.h>

#include <memory>
#include <string>

namespace brindle::passthrough {

using sdk::Call;
using sdk::Error;
using sdk::Item;
using sdk::NodeId;
using sdk::Result;
using sdk::UniqueFd;

struct FileSystemOptions {
    bool readonly = false;
    bool namedattr = false;
    // Leaves the export unwatched: clients see changes made on it directly when their caches expire.
    bool noWatch = false;
};

// The exported directory as the protocol sees it: every name and link stays inside the export,
// node ids stay stable for as long as their objects have a name or are held open, and an open
// file or directory is served through its own descriptor after its name is gone. Files group
// the methods: volume, attributes, namespace, directories, contents, extended attributes.
class FileSystem final : public sdk::Backend {
public:
    static Result<std::unique_ptr<FileSystem>> open(const std::string& directory, FileSystemOptions options);

    sdk::Capabilities capabilities() const override;
    void serving(sdk::OutsideChanges& changes) override;
    void stopping() override;
    bool issued(NodeId node) const override;

    Result<void> synchronize(const Call& call, uint32_t flags) override;
    Result<Item> getRootAttributes(const Call& call) override;
    Result<sdk::StatFS> statfs(const Call& call) override;

    Result<Item> getAttributes(const Call& call, NodeId node) override;
    Result<Item> setAttributes(const Call& call, NodeId node, const sdk::AttributeChanges& changes) override;

    Result<Item> lookup(const Call& call, NodeId parent, const std::string& name) override;
    Result<Item> createFile(const Call& call, NodeId parent, const std::string& name, uint32_t mode) override;
    Result<CreatedFile> createOpenFile(const Call& call, NodeId parent, const std::string& name, uint32_t mode,
                                       uint32_t modes) override;
    Result<Item> createDirectory(const Call& call, NodeId parent, const std::string& name, uint32_t mode) override;
    Result<Item> createSymlink(const Call& call, NodeId parent, const std::string& name,
                               const std::string& target) override;
    Result<void> removeFile(const Call& call, NodeId parent, const std::string& name) override;
    Result<void> removeDirectory(const Call& call, NodeId parent, const std::string& name) override;
    Result<void> rename(const Call& call, NodeId parent, const std::string& name, NodeId newParent,
                        const std::string& newName) override;
    Result<std::string> readlink(const Call& call, NodeId node) override;

    Result<std::shared_ptr<sdk::OpenDirectory>> openDirectory(const Call& call, NodeId node) override;
    Result<void> listDirectory(const Call& call, NodeId node, sdk::Listing& names) override;
    Result<sdk::EntryLookup> listingLookup(const Call& call, NodeId directory) override;

    Result<std::shared_ptr<sdk::OpenFile>> open(const Call& call, NodeId node, uint32_t modes) override;
    Result<size_t> read(const Call& call, NodeId node, uint64_t offset, std::span<char> buffer) override;
    Result<size_t> write(const Call& call, NodeId node, uint64_t offset, std::string_view data) override;
    Result<sdk::Appended> append(const Call& call, NodeId node, std::string_view data) override;

    Result<std::vector<std::string>> listXattrs(const Call& call, NodeId node) override;
    Result<std::string> getXattr(const Call& call, NodeId node, const std::string& name) override;
    Result<void> setXattr(const Call& call, NodeId node, const std::string& name, std::string_view value,
                          int32_t flags) override;
    Result<void> removeXattr(const Call& call, NodeId node, const std::string& name) override;

    void forget(const Call& call, NodeId node, uint64_t count) override;

    const NodeTable& nodes() const { return nodes_; }

private:
    // What a connection holds open: the descriptor that serves it after its name is gone, and the
    // pin that keeps its node meanwhile.
    struct OpenedFile final : sdk::OpenFile {
        OpenedFile(UniqueFd fd, bool writable, NodeTable::Pin pin)
            : fd(std::move(fd)), writable(writable), pin(std::move(pin)) {}
        UniqueFd fd;
        bool writable;
        NodeTable::Pin pin;
    };
    struct OpenedDirectory final : sdk::OpenDirectory {
        OpenedDirectory(UniqueFd fd, NodeTable::Pin pin) : fd(std::move(fd)), pin(std::move(pin)) {}
        UniqueFd fd;  // O_PATH
        NodeTable::Pin pin;
    };

    FileSystem(ExportRoot root, FileSystemOptions options);

    struct Located {
        UniqueFd fd;
        NodeTable::Node node;
        struct statx st;
    };

    // Opens the node from the export root and checks that the path still leads to the same object.
    Result<Located> locate(NodeId node, int flags) const;
    // A directory's O_PATH descriptor for one request: the export's own for the root, which needs
    // no path walked and no check that the path still leads to it.
    class DirectoryFd {
    public:
        explicit DirectoryFd(int borrowed) : fd_(borrowed) {}
        explicit DirectoryFd(UniqueFd owned) : owned_(std::move(owned)), fd_(owned_.get()) {}
        int get() const { return fd_; }

    private:
        UniqueFd owned_;
        int fd_;
    };
    // The directory node's descriptor; ENOTDIR for anything else.
    Result<DirectoryFd> locateDirectory(NodeId node) const;
    // The node's attributes, from its open descriptor when the connection holds one, or from its
    // directory handle when its path no longer leads to it.
    Result<struct statx> statNode(const Call& call, NodeId node) const;
    // Records `name` in `parentFD` as a node and makes its item.
    Result<Item> recordChild(int parentFD, NodeId parent, const std::string& name);
    // A directory is watched from when its node is first handed out.
    Item recordObject(int parentFD, NodeId parent, const std::string& name, const struct statx& st);
    // The item of a create of `name` whose object `createdFD` holds, given the `mode` asked for where
    // it has one. When a step after the create fails, the object is removed again: a failed create
    // leaves nothing.
    Result<Item> created(const Call& call, int parentFD, NodeId parent, const std::string& name, int createdFD,
                         std::optional<uint32_t> mode, ExportWatch::OwnChange appeared);
    // The node's open descriptor when it serves the purpose, else a fresh one for this request.
    Result<std::shared_ptr<UniqueFd>> fileDescriptor(const Call& call, NodeId node, bool forWriting) const;
    struct XattrTarget {
        std::shared_ptr<UniqueFd> fd;
        bool isLink = false;
        std::string name;  // with its Linux namespace
    };
    Result<XattrTarget> xattrTarget(const Call& call, NodeId node, const std::string& name) const;
    Result<void> removeEntry(const Call& call, NodeId parent, const std::string& name, bool directory);
    // Retires the node of the object `heldFD` holds once that object has no name left, so that its
    // inode number, when reused, gets a new node.
    void retireIfGone(int heldFD);

    // Notes, for the watch, the change the call is about to make to a name.
    ExportWatch::OwnChange ownEntryChange(const Call& call, NodeId directory, const std::string& name,
                                          ExportWatch::OwnChange (ExportWatch::*kind)(uint64_t, NodeId,
                                                                                        const std::string&)) const;
    // The same for a change of the node's contents or its attributes.
    ExportWatch::OwnChanges ownObjectChange(const Call& call, NodeId node, bool contents, bool attributes) const;
    // What the watch asks: the node and change time of `name` in `directory` (empty: itself).
    std::optional<ExportWatch::Child> watchedChild(NodeId directory, const std::string& name) const;

    ExportRoot root_;
    const FileSystemOptions options_;
    NodeTable nodes_;
    std::unique_ptr<ExportWatch> watch_;
};

// "/proc/self/fd/N": reaches the object an O_PATH descriptor holds for calls that take no descriptor.
std::string descriptorPath(int fd);

}  // namespace brindle::passthrough
