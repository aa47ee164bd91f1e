#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "platform/foundation/errno_table.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

namespace brindle::conform {

namespace {

namespace darwin = foundation::darwin;

bool listed(Connection& connection, uint64_t directory, const std::string& name) {
    const auto names = namesOf(listDirectory(connection, directory).entries());
    return std::ranges::find(names, name) != names.end();
}

void createLookupRemove(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = context.workDirectory();
    std::set<uint64_t> ids{context.rootID(), directory};
    for (int i = 0; i < 10; ++i) {
        const std::string name = fmt::format("file-{}", i);
        const auto made = makeFile(connection, directory, name, "");
        require(made->nodeID != 0, "create_file \"" + name + "\" gave node id 0, which names nothing");
        require(ids.insert(made->nodeID).second,
                fmt::format("create_file \"{}\" gave node id {}, which another object has", name, made->nodeID));
        const auto looked = succeeded(connection.lookup(directory, name), "lookup of \"" + name + "\"");
        require(looked->nodeID == made->nodeID, fmt::format("\"{}\" was made as node {} and looks up as node {}", name,
                                                            made->nodeID, looked->nodeID));
        require(looked->parentNodeID == directory,
                fmt::format("\"{}\" looks up with parent {}, not its directory {}", name, looked->parentNodeID, directory));
    }
    succeeded(connection.removeFile(directory, "file-3"), "remove_file \"file-3\"");
    failsWith(connection.lookup(directory, "file-3"), darwin::enoent, "lookup of the removed \"file-3\"");
    require(!listed(connection, directory, "file-3"), "the removed \"file-3\" is still listed");
    const auto subdirectory = succeeded(connection.createDirectory(directory, "subdirectory"), "create_directory");
    succeeded(connection.removeDirectory(directory, "subdirectory"), "remove_directory of the empty \"subdirectory\"");
    failsWith(connection.lookup(directory, "subdirectory"), darwin::enoent, "lookup of the removed \"subdirectory\"");
    require(subdirectory->nodeID != 0, "create_directory gave node id 0");
}

void renameOverExisting(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = context.workDirectory();
    const auto moved = makeFile(connection, directory, "moved", "moved's contents");
    makeFile(connection, directory, "replaced", "replaced's contents");
    succeeded(connection.rename(directory, "moved", directory, "replaced"), "rename of \"moved\" over \"replaced\"");
    failsWith(connection.lookup(directory, "moved"), darwin::enoent, "lookup of \"moved\" after the rename");
    const auto now = succeeded(connection.lookup(directory, "replaced"), "lookup of \"replaced\" after the rename");
    require(now->nodeID == moved->nodeID,
            fmt::format("after the rename \"replaced\" is node {}, not the moved node {}", now->nodeID, moved->nodeID));
    succeeded(connection.open(now->nodeID, kOpenRead), "open of \"replaced\"");
    require(readAll(connection, now->nodeID) == "moved's contents", "after the rename \"replaced\" holds other contents");
    succeeded(connection.close(now->nodeID, 0), "close");
    const auto names = namesOf(listDirectory(connection, directory).entries());
    require(names == std::vector<std::string>{"replaced"},
            fmt::format("after the rename the directory lists {} names, not just \"replaced\"", names.size()));
}

void renameAcrossDirectories(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = context.workDirectory();
    const auto from = succeeded(connection.createDirectory(directory, "from"), "create_directory \"from\"");
    const auto to = succeeded(connection.createDirectory(directory, "to"), "create_directory \"to\"");
    const auto file = makeFile(connection, from->nodeID, "travelling", "contents");
    const auto inner = succeeded(connection.createDirectory(from->nodeID, "inner"), "create_directory \"inner\"");
    makeFile(connection, inner->nodeID, "deep", "");
    succeeded(connection.rename(from->nodeID, "travelling", to->nodeID, "arrived"), "rename of a file into a sibling directory");
    succeeded(connection.rename(from->nodeID, "inner", to->nodeID, "inner"), "rename of a directory into a sibling directory");
    failsWith(connection.lookup(from->nodeID, "travelling"), darwin::enoent, "lookup of the moved file in its old directory");
    const auto arrived = succeeded(connection.lookup(to->nodeID, "arrived"), "lookup of the moved file in its new directory");
    require(arrived->nodeID == file->nodeID, "the moved file is another node in its new directory");
    require(arrived->parentNodeID == to->nodeID, fmt::format("the moved file's parent is {}, not its new directory {}",
                                                             arrived->parentNodeID, to->nodeID));
    const auto movedInner = succeeded(connection.lookup(to->nodeID, "inner"), "lookup of the moved directory");
    succeeded(connection.lookup(movedInner->nodeID, "deep"), "lookup of a file inside the moved directory");
    require(!listed(connection, from->nodeID, "inner"), "the moved directory is still listed in its old directory");
}

}  // namespace

void addNamespaceChecks(std::vector<Check>& checks) {
    checks.push_back({"namespace.create_lookup_remove",
                      "created objects have distinct node ids that lookup repeats; removed names are gone",
                      kWritable, createLookupRemove});
    checks.push_back({"namespace.rename_over_existing",
                      "rename over an existing name replaces it with the moved object, contents and all", kWritable,
                      renameOverExisting});
    checks.push_back({"namespace.rename_across_directories",
                      "rename moves files and directories, with what they hold, into another directory", kWritable,
                      renameAcrossDirectories});
}

}  // namespace brindle::conform
