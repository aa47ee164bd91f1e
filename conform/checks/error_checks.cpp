#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "platform/foundation/errno_table.h"

#include <fmt/format.h>

#include <functional>

namespace brindle::conform {

namespace {

namespace darwin = foundation::darwin;

const std::string kMissing = "brindle-conform-no-such-name";

// Where a missing name is looked for: the kit's own directory, or the root of a read-only server.
uint64_t directoryForMissingNames(Context& context) {
    return context.claims().readOnly ? context.rootID() : context.workDirectory();
}

void missingName(Context& context) {
    failsWith(context.connection().lookup(directoryForMissingNames(context), kMissing), darwin::enoent,
              "lookup of a missing name");
}

void parentNotDirectory(Context& context) {
    const auto file = fileToRead(context);
    failsWith(context.connection().lookup(file->nodeID, "child"), darwin::enotdir,
              "lookup under the regular file \"" + file->name + "\"");
}

void nameTaken(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = context.workDirectory();
    makeFile(connection, directory, "taken", "");
    failsWith(connection.createFile(directory, "taken"), darwin::eexist, "create_file over an existing file");
    failsWith(connection.createDirectory(directory, "taken"), darwin::eexist, "create_directory over an existing file");
}

void directoryNotEmpty(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = context.workDirectory();
    const auto full = succeeded(connection.createDirectory(directory, "full"), "create_directory \"full\"");
    makeFile(connection, full->nodeID, "inside", "");
    failsWith(connection.removeDirectory(directory, "full"), darwin::enotempty, "remove_directory of a directory with a file in it");
    succeeded(connection.lookup(full->nodeID, "inside"), "lookup of the file in the directory that was not removed");
}

void readDirectory(Context& context) {
    failsWith(context.connection().read(context.rootID(), 0, 4096), darwin::eisdir, "read of the root directory");
}

void nameTooLong(Context& context) {
    failsWith(context.connection().lookup(directoryForMissingNames(context), std::string(300, 'n')),
              darwin::enametoolong, "lookup of a name of 300 bytes");
}

void unknownHandle(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = context.rootID();
    const uint64_t handle = succeeded(connection.openDirectory(directory), "open_directory of the root");
    // A handle the server never gave: one far from the one it just did.
    const uint64_t unknown = handle ^ 0x5a5a5a5a5a5a0000ull;
    failsWith(connection.enumerate(directory, unknown, 0, 128), darwin::ebadf,
              fmt::format("enumerate_directory under handle {}, which the server never gave", unknown));
    succeeded(connection.closeDirectory(directory, handle), "close_directory of the root");
}

void missingXattr(Context& context) {
    const auto file = fileToRead(context);
    failsWith(context.connection().getXattr(file->nodeID, "user.brindle-conform-missing"), darwin::enoattr,
              "get_xattr of a missing attribute");
}

// Every change fails with EROFS. What the check asks to change is chosen so that a server that
// wrongly claims to be read-only loses nothing: what it makes is removed at once, what it would
// change is changed to what it already is, and only missing names are removed.
void readOnly(Context& context) {
    auto& connection = context.connection();
    const uint64_t root = context.rootID();
    const auto refused = [](const auto& outcome, const std::string& what, const std::function<void()>& undo) {
        if (outcome.value) {
            undo();
            fail(what + " succeeded; on a read-only server it must fail with EROFS (30)");
        }
        failsWith(outcome, darwin::erofs, what);
    };
    const auto removeMade = [&] { (void)connection.removeFile(root, kMissing); };
    refused(connection.createFile(root, kMissing), "create_file", removeMade);
    refused(connection.createDirectory(root, kMissing), "create_directory",
            [&] { (void)connection.removeDirectory(root, kMissing); });
    if (context.claims().symlinks) refused(connection.createSymlink(root, kMissing, "target"), "create_symlink", removeMade);
    const auto rootItem = succeeded(connection.root(), "get_root_attributes");
    refused(connection.setMode(rootItem, rootItem->mode & 07777), "set_attributes of the root's mode to what it is",
            [] {});
    if (context.claims().xattrs) {
        refused(connection.setXattr(root, "user.brindle-conform", 0, "v"), "set_xattr on the root",
                [&] { (void)connection.removeXattr(root, "user.brindle-conform"); });
    }
    for (const auto& [outcome, what] : {std::pair{connection.removeFile(root, kMissing), "remove_file"},
                                        std::pair{connection.removeDirectory(root, kMissing), "remove_directory"}}) {
        require(!outcome.value, std::string(what) + " of a missing name succeeded");
        if (!outcome.error || !outcome.error->isPosix(darwin::enoent)) {
            failsWith(outcome, darwin::erofs, std::string(what) + " of a missing name (ENOENT would do as well)");
        }
    }
    Item file;
    for (const auto& entry : listDirectory(connection, root).entries()) {
        if (entry->itemType == ItemType::File) {
            file = succeeded(connection.attributes(entry->nodeID, root, entry->name), "get_attributes of \"" + entry->name + "\"");
            break;
        }
    }
    if (!file || !file->attributesLoaded) {
        context.note("the root holds no regular file with its attributes: rename, write and open for writing were not tried");
        return;
    }
    refused(connection.rename(root, file->name, root, file->name), "rename of \"" + file->name + "\" to itself", [] {});
    refused(connection.open(file->nodeID, kOpenRead | kOpenWrite), "open for writing",
            [&] { (void)connection.close(file->nodeID, 0); });
    refused(connection.write(file->nodeID, file->size, ""), "write of no bytes at the end", [] {});
    refused(connection.setSize(file, file->size), "set_attributes of the size to what it is", [] {});
}

}  // namespace

void addErrorChecks(std::vector<Check>& checks) {
    checks.push_back({"errors.enoent_missing_name", "lookup of a missing name fails with ENOENT (2)", kAnyServer, missingName});
    checks.push_back({"errors.enotdir_parent", "lookup under a regular file fails with ENOTDIR (20)", kAnyServer,
                      parentNotDirectory});
    checks.push_back({"errors.eexist_name_taken", "create_file and create_directory over a name in use fail with EEXIST (17)",
                      kWritable, nameTaken});
    checks.push_back({"errors.enotempty_directory",
                      "remove_directory of a directory that holds a name fails with ENOTEMPTY (66, Darwin's number)",
                      kWritable, directoryNotEmpty});
    checks.push_back({"errors.eisdir_read", "read of a directory fails with EISDIR (21)", kAnyServer, readDirectory});
    checks.push_back({"errors.enametoolong_name",
                      "lookup of a 300-byte name fails with ENAMETOOLONG (63, Darwin's number)", kAnyServer, nameTooLong});
    checks.push_back({"errors.ebadf_unknown_handle",
                      "enumerate_directory under a handle the server never gave fails with EBADF (9)", kAnyServer,
                      unknownHandle});
    checks.push_back({"errors.enoattr_missing_xattr",
                      "get_xattr of a missing attribute fails with ENOATTR (93, Darwin's number)", kXattrs, missingXattr});
    checks.push_back({"errors.erofs_every_change", "on a read-only server every change fails with EROFS (30)", kReadOnly,
                      readOnly});
}

}  // namespace brindle::conform
