#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "protocol/schema.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace brindle::conform {

namespace {

// Holds the last reply to `method` against the schema. A reply the client refused is explained
// by what the schema finds wrong with it before what the client made of it.
template <typename T>
T judged(Connection& connection, std::string_view method, Outcome<T> outcome, const std::string& what) {
    const auto exchange = connection.lastExchange(method);
    if (exchange) {
        const auto* ok = exchange->reply.if_contains("ok");
        if (ok != nullptr && ok->is_bool() && ok->get_bool()) {
            const auto problems =
                schema::replyProblems(method, exchange->reply, exchange->payloadSize, schema::UnknownKeys::ignored);
            require(problems.empty(), fmt::format("{}", fmt::join(problems, "; ")));
        }
    }
    T value = succeeded(std::move(outcome), what);
    require(exchange.has_value(), "no reply to " + what + " was seen on the wire");
    return value;
}

// A directory with a few names in it: the kit's own, or on a read-only server the root.
uint64_t directoryToList(Context& context) {
    if (context.claims().readOnly) return context.rootID();
    const uint64_t directory = context.workDirectory();
    for (const char* name : {"a", "b", "c"}) makeFile(context.connection(), directory, name, "");
    return directory;
}

void ping(Context& context) { judged(context.connection(), "ping", context.connection().ping(), "ping"); }

void synchronize(Context& context) {
    judged(context.connection(), "synchronize", context.connection().synchronize(1), "synchronize");
}

void rootAttributes(Context& context) {
    const auto root = judged(context.connection(), "get_root_attributes", context.connection().root(), "get_root_attributes");
    require(root->itemType == ItemType::Directory, "the root is not a directory");
    require(root->nodeID != 0, "the root's node id is 0, which names nothing");
}

void statistics(Context& context) {
    judged(context.connection(), "statfs", context.connection().statistics(), "statfs");
}

void attributes(Context& context) {
    const auto file = fileToRead(context);
    const auto item = judged(context.connection(), "get_attributes",
                             context.connection().attributes(file->nodeID, file->parentNodeID, file->name),
                             "get_attributes of \"" + file->name + "\"");
    require(item->nodeID == file->nodeID, fmt::format("get_attributes of node {} answered for node {}", file->nodeID, item->nodeID));
}

void lookup(Context& context) {
    const auto file = fileToRead(context);
    const auto item = judged(context.connection(), "lookup", context.connection().lookup(file->parentNodeID, file->name),
                             "lookup of \"" + file->name + "\"");
    require(item->nodeID == file->nodeID,
            fmt::format("lookup of \"{}\" gave node {}, and earlier node {}", file->name, item->nodeID, file->nodeID));
}

void enumerate(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = directoryToList(context);
    const uint64_t handle = succeeded(connection.openDirectory(directory), "open_directory");
    judged(connection, "enumerate_directory", connection.enumerate(directory, handle, 0, 128), "enumerate_directory");
    succeeded(connection.closeDirectory(directory, handle), "close_directory");
}

void openDirectory(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = directoryToList(context);
    const uint64_t handle =
        judged(connection, "open_directory", connection.openDirectory(directory), "open_directory");
    require(handle != 0, "open_directory gave handle 0, which means no handle");
    succeeded(connection.closeDirectory(directory, handle), "close_directory");
}

void closeDirectory(Context& context) {
    auto& connection = context.connection();
    const uint64_t directory = directoryToList(context);
    const uint64_t handle = succeeded(connection.openDirectory(directory), "open_directory");
    judged(connection, "close_directory", connection.closeDirectory(directory, handle), "close_directory");
}

void createFile(Context& context) {
    const auto item = judged(context.connection(), "create_file",
                             context.connection().createFile(context.workDirectory(), "new-file"), "create_file");
    require(item->itemType == ItemType::File, "create_file made something that is not a regular file");
}

void createDirectory(Context& context) {
    const auto item = judged(context.connection(), "create_directory",
                             context.connection().createDirectory(context.workDirectory(), "new-directory"),
                             "create_directory");
    require(item->itemType == ItemType::Directory, "create_directory made something that is not a directory");
}

void createSymlink(Context& context) {
    const auto item = judged(context.connection(), "create_symlink",
                             context.connection().createSymlink(context.workDirectory(), "new-link", "target"),
                             "create_symlink");
    require(item->itemType == ItemType::SymbolicLink, "create_symlink made something that is not a symbolic link");
}

void removeFile(Context& context) {
    const uint64_t directory = context.workDirectory();
    makeFile(context.connection(), directory, "doomed", "");
    judged(context.connection(), "remove_file", context.connection().removeFile(directory, "doomed"), "remove_file");
}

void removeDirectory(Context& context) {
    const uint64_t directory = context.workDirectory();
    succeeded(context.connection().createDirectory(directory, "doomed"), "create_directory \"doomed\"");
    judged(context.connection(), "remove_directory", context.connection().removeDirectory(directory, "doomed"),
           "remove_directory");
}

void rename(Context& context) {
    const uint64_t directory = context.workDirectory();
    makeFile(context.connection(), directory, "before", "");
    judged(context.connection(), "rename", context.connection().rename(directory, "before", directory, "after"), "rename");
}

void setAttributes(Context& context) {
    const auto file = makeFile(context.connection(), context.workDirectory(), "file", "");
    judged(context.connection(), "set_attributes", context.connection().setMode(file, 0640), "set_attributes");
}

void open(Context& context) {
    const auto file = fileToRead(context);
    judged(context.connection(), "open", context.connection().open(file->nodeID, kOpenRead), "open");
    succeeded(context.connection().close(file->nodeID, 0), "close");
}

void close(Context& context) {
    const auto file = fileToRead(context);
    succeeded(context.connection().open(file->nodeID, kOpenRead), "open");
    judged(context.connection(), "close", context.connection().close(file->nodeID, 0), "close");
}

void read(Context& context) {
    const auto file = fileToRead(context);
    succeeded(context.connection().open(file->nodeID, kOpenRead), "open");
    judged(context.connection(), "read", context.connection().read(file->nodeID, 0, 4096), "read");
    succeeded(context.connection().close(file->nodeID, 0), "close");
}

void write(Context& context) {
    const auto file = makeFile(context.connection(), context.workDirectory(), "file", "");
    succeeded(context.connection().open(file->nodeID, kOpenRead | kOpenWrite), "open");
    const uint64_t written =
        judged(context.connection(), "write", context.connection().write(file->nodeID, 0, "written"), "write");
    require(written <= 7, fmt::format("write of 7 bytes reported {} written", written));
    succeeded(context.connection().close(file->nodeID, 0), "close");
}

void readlink(Context& context) {
    const auto link = succeeded(context.connection().createSymlink(context.workDirectory(), "link", "target"),
                                "create_symlink");
    judged(context.connection(), "readlink", context.connection().readlink(link->nodeID), "readlink");
}

// An attribute to read: the kit's own where it may set one, else one the root file carries.
std::pair<Item, std::string> attributeToRead(Context& context) {
    const auto file = fileToRead(context);
    if (!context.claims().readOnly) {
        succeeded(context.connection().setXattr(file->nodeID, "user.brindle-conform", 0, "value"), "set_xattr");
        return {file, "user.brindle-conform"};
    }
    const auto names = succeeded(context.connection().listXattrs(file->nodeID), "list_xattrs");
    if (names.empty()) skip("\"" + file->name + "\" in the root has no extended attribute to read");
    return {file, names.front()};
}

void listXattrs(Context& context) {
    const auto file = attributeToRead(context).first;
    judged(context.connection(), "list_xattrs", context.connection().listXattrs(file->nodeID), "list_xattrs");
}

void getXattr(Context& context) {
    const auto [file, name] = attributeToRead(context);
    judged(context.connection(), "get_xattr", context.connection().getXattr(file->nodeID, name), "get_xattr");
}

void setXattr(Context& context) {
    const auto file = makeFile(context.connection(), context.workDirectory(), "file", "");
    judged(context.connection(), "set_xattr", context.connection().setXattr(file->nodeID, "user.brindle-conform", 0, "v"),
           "set_xattr");
}

void removeXattr(Context& context) {
    const auto file = makeFile(context.connection(), context.workDirectory(), "file", "");
    succeeded(context.connection().setXattr(file->nodeID, "user.brindle-conform", 0, "v"), "set_xattr");
    judged(context.connection(), "remove_xattr", context.connection().removeXattr(file->nodeID, "user.brindle-conform"),
           "remove_xattr");
}

}  // namespace

void addShapeChecks(std::vector<Check>& checks) {
    const struct {
        const char* method;
        unsigned needs;
        void (*run)(Context&);
    } methods[] = {
        {"ping", kAnyServer, ping},
        {"synchronize", kAnyServer, synchronize},
        {"get_root_attributes", kAnyServer, rootAttributes},
        {"statfs", kAnyServer, statistics},
        {"get_attributes", kAnyServer, attributes},
        {"lookup", kAnyServer, lookup},
        {"enumerate_directory", kAnyServer, enumerate},
        {"open_directory", kAnyServer, openDirectory},
        {"close_directory", kAnyServer, closeDirectory},
        {"create_file", kWritable, createFile},
        {"create_directory", kWritable, createDirectory},
        {"create_symlink", kWritable | kSymlinks, createSymlink},
        {"remove_file", kWritable, removeFile},
        {"remove_directory", kWritable, removeDirectory},
        {"rename", kWritable, rename},
        {"set_attributes", kWritable, setAttributes},
        {"open", kAnyServer, open},
        {"close", kAnyServer, close},
        {"read", kAnyServer, read},
        {"write", kWritable, write},
        {"readlink", kWritable | kSymlinks, readlink},
        {"list_xattrs", kXattrs, listXattrs},
        {"get_xattr", kXattrs, getXattr},
        {"set_xattr", kWritable | kXattrs, setXattr},
        {"remove_xattr", kWritable | kXattrs, removeXattr},
    };
    for (const auto& entry : methods) {
        checks.push_back({std::string("shape.") + entry.method,
                          std::string("a successful ") + entry.method + " reply carries what the schema describes",
                          entry.needs, entry.run});
    }
}

}  // namespace brindle::conform
