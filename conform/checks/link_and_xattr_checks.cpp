#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "platform/foundation/errno_table.h"

#include <fmt/format.h>

#include <algorithm>

namespace brindle::conform {

namespace {

namespace darwin = foundation::darwin;

constexpr int32_t kXattrCreate = 2;
constexpr int32_t kXattrReplace = 4;

void targetKept(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = context.workDirectory();
    // Targets are text, not paths the server resolves: one that leaves the export, one that does not exist.
    for (const std::string target : {"../../outside/the export", "no-such-name \u00e9\u65e5", "/absolute/path"}) {
        const std::string name = fmt::format("link-{}", target.size());
        const auto link = succeeded(connection.createSymlink(directory, name, target), "create_symlink to \"" + target + "\"");
        const auto looked = succeeded(connection.lookup(directory, name), "lookup of \"" + name + "\"");
        require(looked->itemType == ItemType::SymbolicLink, "\"" + name + "\" looks up as something other than a symbolic link");
        const auto read = succeeded(connection.readlink(link->nodeID), "readlink of \"" + name + "\"");
        require(read == target, "readlink gives \"" + read + "\" for a link made to \"" + target + "\"");
    }
}

void xattrRoundTrip(Context& context) {
    auto& connection = context.connection();
    const auto file = makeFile(connection, context.workDirectory(), "attributed", "");
    const std::string name = "user.brindle-conform";
    const std::string value("zero \0 and \xff bytes", 19);
    succeeded(connection.setXattr(file->nodeID, name, 0, value), "set_xattr");
    require(succeeded(connection.getXattr(file->nodeID, name), "get_xattr") == value,
            "get_xattr gives other bytes than set_xattr set");
    const auto names = succeeded(connection.listXattrs(file->nodeID), "list_xattrs");
    require(std::ranges::count(names, name) == 1, "list_xattrs does not name \"" + name + "\" once");
    succeeded(connection.setXattr(file->nodeID, name, 0, ""), "set_xattr of an empty value");
    require(succeeded(connection.getXattr(file->nodeID, name), "get_xattr").empty(), "an attribute set empty reads as bytes");
    succeeded(connection.removeXattr(file->nodeID, name), "remove_xattr");
    failsWith(connection.getXattr(file->nodeID, name), darwin::enoattr, "get_xattr of the removed attribute");
    const auto after = succeeded(connection.listXattrs(file->nodeID), "list_xattrs after remove_xattr");
    require(std::ranges::count(after, name) == 0, "list_xattrs still names the removed attribute");
}

void createReplaceFlags(Context& context) {
    auto& connection = context.connection();
    const auto file = makeFile(connection, context.workDirectory(), "flagged", "");
    const std::string name = "user.brindle-conform";
    failsWith(connection.setXattr(file->nodeID, name, kXattrReplace, "v"), darwin::enoattr,
              "set_xattr with XATTR_REPLACE of a missing attribute");
    succeeded(connection.setXattr(file->nodeID, name, kXattrCreate, "first"), "set_xattr with XATTR_CREATE");
    failsWith(connection.setXattr(file->nodeID, name, kXattrCreate, "second"), darwin::eexist,
              "set_xattr with XATTR_CREATE of an existing attribute");
    succeeded(connection.setXattr(file->nodeID, name, kXattrReplace, "third"), "set_xattr with XATTR_REPLACE");
    require(succeeded(connection.getXattr(file->nodeID, name), "get_xattr") == "third",
            "the attribute does not hold what XATTR_REPLACE set");
}

}  // namespace

void addLinkAndXattrChecks(std::vector<Check>& checks) {
    checks.push_back({"symlinks.target_kept", "readlink gives back a link's target as it was made, byte for byte",
                      kWritable | kSymlinks, targetKept});
    checks.push_back({"xattrs.round_trip",
                      "an extended attribute's bytes, zero bytes included, are kept, listed and removed",
                      kWritable | kXattrs, xattrRoundTrip});
    checks.push_back({"xattrs.create_replace_flags",
                      "XATTR_CREATE fails with EEXIST on an existing attribute, XATTR_REPLACE with ENOATTR on a "
                      "missing one",
                      kWritable | kXattrs, createReplaceFlags});
}

}  // namespace brindle::conform
