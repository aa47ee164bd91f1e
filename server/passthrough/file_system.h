#pragma once

#include "protocol/item_record.h"
#include "sdk/cpp/dispatch/directory_handles.h"
#include "sdk/cpp/dispatch/open_files.h"
#include "sdk/cpp/dispatch/request.h"
#include "server/passthrough/export_root.h"
#include "server/passthrough/node_table.h"

#include <sys/stat.h>

#include <string>

namespace brindle::server {

struct FileSystemOptions {
    bool readonly = false;
    bool namedattr = false;
    size_t maxOpenFiles = 4096;
    size_t maxDirectoryHandles = 4096;
    // Bytes of names that listings in progress keep between calls, over all clients.
    size_t listingBudget = 64u << 20;
};

// The exported directory as the protocol sees it: one member per method, each safe to run
// concurrently with any other. Files group them: volume, attributes, namespace, directories,
// contents, extended attributes.
class FileSystem {
public:
    FileSystem(ExportRoot root, FileSystemOptions options);

    Reply ping(const Request& request);
    Reply synchronize(const Request& request);
    Reply getRootAttributes(const Request& request);
    Reply statfs(const Request& request);

    Reply getAttributes(const Request& request);
    Reply setAttributes(const Request& request);

    Reply lookup(const Request& request);
    Reply createFile(const Request& request);
    Reply createDirectory(const Request& request);
    Reply createSymlink(const Request& request);
    Reply removeFile(const Request& request);
    Reply removeDirectory(const Request& request);
    Reply rename(const Request& request);
    Reply readlink(const Request& request);

    Reply openDirectory(const Request& request);
    Reply enumerateDirectory(const Request& request);
    Reply closeDirectory(const Request& request);

    Reply open(const Request& request);
    Reply close(const Request& request);
    Reply read(const Request& request);
    Reply write(const Request& request);

    Reply listXattrs(const Request& request);
    Reply getXattr(const Request& request);
    Reply setXattr(const Request& request);
    Reply removeXattr(const Request& request);

    // Releases the open files, directory handles and listings the connection held.
    void connectionEnded(uint64_t connectionID);

    const NodeTable& nodes() const { return nodes_; }
    const OpenFiles& openFiles() const { return openFiles_; }
    const DirectoryHandles& directories() const { return directories_; }

private:
    struct Located {
        UniqueFd fd;
        NodeTable::Node node;
        struct statx st;
    };

    // Opens the node from the export root and checks that the path still leads to the same object.
    foundation::Result<Located> locate(uint64_t nodeID, int flags) const;
    // The directory node's O_PATH descriptor; ENOTDIR for anything else.
    foundation::Result<UniqueFd> locateDirectory(uint64_t nodeID) const;
    // The node's attributes, from its open descriptor when the connection holds one, or from its
    // directory handle when its path no longer leads to it.
    foundation::Result<struct statx> statNode(uint64_t connectionID, uint64_t nodeID) const;
    // Records `name` in `parentFD` as a node and builds its item record.
    foundation::Result<wire::ItemRecord> recordChild(int parentFD, uint64_t parentID, const std::string& name);
    wire::ItemRecord recordObject(uint64_t parentID, const std::string& name, const struct statx& st);
    // The reply to a create of `name` whose object `createdFD` holds. When a step after the create
    // failed, or recording it does, the object is removed again: a failed create leaves nothing.
    Reply createdReply(int parentFD, uint64_t parentID, const std::string& name, int createdFD,
                       std::optional<foundation::Error> failure);
    std::optional<foundation::Error> refuseChange() const;
    // The node's open descriptor when it serves the purpose, else a fresh one for this request.
    foundation::Result<std::shared_ptr<UniqueFd>> fileDescriptor(const Request& request, uint64_t nodeID,
                                                                 bool forWriting) const;
    struct XattrTarget {
        std::shared_ptr<UniqueFd> fd;
        bool isLink = false;
        std::string name;  // with its Linux namespace
        uint64_t nodeID = 0;
    };
    foundation::Result<XattrTarget> xattrTarget(const Request& request, bool changing) const;
    // A new entry's place and permissions: the checked parent, name and mode of a create request.
    struct CreationTarget {
        UniqueFd parent;
        uint64_t parentID = 0;
        std::string name;
        mode_t permissions = 0;
    };
    foundation::Result<CreationTarget> creationTarget(const Request& request) const;
    Reply removeEntry(const Request& request, bool directory);
    // Retires the node of the object `heldFD` holds once that object has no name left, so that its
    // inode number, when reused, gets a new node.
    void retireIfGone(int heldFD);

    ExportRoot root_;
    const FileSystemOptions options_;
    NodeTable nodes_;
    OpenFiles openFiles_;
    DirectoryHandles directories_;
};

// A reply carrying `record` under `key`.
Reply recordReply(std::string_view key, const wire::ItemRecord& record);
// "/proc/self/fd/N": reaches the object an O_PATH descriptor holds for calls that take no descriptor.
std::string descriptorPath(int fd);

}  // namespace brindle::server
