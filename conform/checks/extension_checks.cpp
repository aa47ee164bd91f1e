#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "platform/foundation/json.h"
#include "protocol/extensions.h"
#include "platform/foundation/errno_table.h"
#include "protocol/wire.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <set>

namespace brindle::conform {

namespace {

namespace darwin = foundation::darwin;

// Held to an extension's rules only where the server advertises it.
void requireAdvertised(Connection& connection, std::string_view extension) {
    if (!connection.advertises(extension)) skip("the server does not advertise " + std::string(extension));
}

void createOpens(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::createOpens);
    const auto file = succeeded(connection.createOpenedFile(context.workDirectory(), "opened", kOpenRead | kOpenWrite),
                                "create_file with open_modes");
    const auto exchange = connection.lastExchange("create_file");
    const auto* opened = exchange ? exchange->reply.if_contains("opened") : nullptr;
    require(opened != nullptr && opened->is_bool() && opened->get_bool(),
            "a create_file with open_modes 3 on an empty directory must answer \"opened\": true, not " +
                (opened ? foundation::json::serialize(*opened) : std::string("nothing")));
    // No open of its own: the create's must serve writes and reads, and a close must end it.
    writeAll(connection, file->nodeID, 0, "written through the create's open");
    require(readAll(connection, file->nodeID) == "written through the create's open",
            "reading back through the create's open gives other bytes");
    succeeded(connection.close(file->nodeID, 0), "close of the create's open");
}

void openDirectoryRecord(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::openDirectoryRecord);
    const uint64_t directory = succeeded(connection.createDirectory(context.workDirectory(), "listed"),
                                         "create_directory")->nodeID;
    const uint64_t handle = succeeded(connection.openDirectory(directory), "open_directory");
    const auto exchange = connection.lastExchange("open_directory");
    const auto* value = exchange ? exchange->reply.if_contains("item_attrs") : nullptr;
    const auto* record = value ? value->if_object() : nullptr;
    require(record != nullptr, "an open_directory of a fresh directory must carry its record as \"item_attrs\", not " +
                                   (value ? foundation::json::serialize(*value) : std::string("nothing")));
    const auto* type = record->if_contains("type");
    require(foundation::json::uint64Field(*record, "node_id") == directory && type && type->is_string() &&
                type->get_string() == "directory",
            "the record of open_directory must be the directory's own, not " + foundation::json::serialize(*record));
    succeeded(connection.closeDirectory(directory, handle), "close_directory");
}

// The record the last `method`'s reply carries under `recordKey` must be `node`'s, as
// get_attributes gives it just after: the same node, type, mode, owner, link count, size and times.
void requireChangedRecord(Connection& connection, std::string_view method, std::string_view recordKey,
                          const Item& node) {
    namespace key = wire::key;
    const auto exchange = connection.lastExchange(method);
    const auto* value = exchange ? exchange->reply.if_contains(recordKey) : nullptr;
    const auto* record = value ? value->if_object() : nullptr;
    require(record != nullptr, std::string(method) + " must carry the record of node " + std::to_string(node->nodeID) +
                                   " as \"" + std::string(recordKey) + "\", not " +
                                   (value ? foundation::json::serialize(*value) : std::string("nothing")));
    succeeded(connection.attributes(node->nodeID, node->parentNodeID, node->name), "get_attributes");
    const auto fetched = connection.lastExchange("get_attributes");
    const auto* fetchedValue = fetched ? fetched->reply.if_contains(key::itemAttrs) : nullptr;
    const auto* fetchedRecord = fetchedValue ? fetchedValue->if_object() : nullptr;
    require(fetchedRecord != nullptr, "get_attributes answered without a record");
    for (const std::string_view field : {key::nodeID, key::type, key::mode, key::uid, key::gid, key::linkCount,
                                         key::size, key::modifyTimeSec, key::modifyTimeNsec, key::changeTimeSec,
                                         key::changeTimeNsec}) {
        const auto* carried = record->if_contains(field);
        const auto* asked = fetchedRecord->if_contains(field);
        require(carried != nullptr && asked != nullptr && *carried == *asked,
                "\"" + std::string(recordKey) + "\" of " + std::string(method) + " is " +
                    foundation::json::serialize(*record) + ", where get_attributes then gives " +
                    foundation::json::serialize(*fetchedRecord) + " (\"" + std::string(field) + "\" differs)");
    }
}

void postOpRecords(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::postOpRecords);
    const auto from = succeeded(connection.createDirectory(context.workDirectory(), "from"), "create_directory");
    const auto to = succeeded(connection.createDirectory(context.workDirectory(), "to"), "create_directory");
    const auto file = succeeded(connection.createFile(from->nodeID, "file"), "create_file");
    requireChangedRecord(connection, "create_file", wire::key::parentAttrs, from);
    succeeded(connection.open(file->nodeID, kOpenWrite), "open");
    succeeded(connection.write(file->nodeID, 0, "written"), "write");
    requireChangedRecord(connection, "write", wire::key::itemAttrs, file);
    succeeded(connection.close(file->nodeID, 0), "close");
    succeeded(connection.createDirectory(from->nodeID, "directory"), "create_directory");
    requireChangedRecord(connection, "create_directory", wire::key::parentAttrs, from);
    succeeded(connection.createSymlink(from->nodeID, "link", "file"), "create_symlink");
    requireChangedRecord(connection, "create_symlink", wire::key::parentAttrs, from);
    succeeded(connection.rename(from->nodeID, "file", to->nodeID, "moved"), "rename");
    requireChangedRecord(connection, "rename", wire::key::parentAttrs, from);
    requireChangedRecord(connection, "rename", wire::key::newParentAttrs, to);
    succeeded(connection.removeFile(to->nodeID, "moved"), "remove_file");
    requireChangedRecord(connection, "remove_file", wire::key::parentAttrs, to);
    succeeded(connection.removeDirectory(from->nodeID, "directory"), "remove_directory");
    requireChangedRecord(connection, "remove_directory", wire::key::parentAttrs, from);
}

// The raw batch the last open_directory's reply carried, and whether it said the handle was closed.
struct RawBatch {
    boost::json::array entries;
    bool handleClosed = false;
    uint64_t handle = 0;
};

// The open's batch as it came, once the client found it one a listing can go on from.
RawBatch firstBatchOf(Connection& connection, const Connection::OpenedWithBatch& opened) {
    require(opened.batch.has_value(),
            "the client could not list from the first batch of open_directory: its records must be readable, its "
            "cookies must grow, and a closed handle must come beside a batch that ends the listing");
    const auto exchange = connection.lastExchange("open_directory");
    require(exchange.has_value(), "open_directory answered nothing");
    const auto* items = exchange->reply.if_contains(wire::key::dirItems);
    require(items != nullptr && items->is_array(),
            "an open_directory with first_batch must carry \"dir_items\", not " +
                foundation::json::serialize(exchange->reply));
    const auto* closed = exchange->reply.if_contains(wire::key::handleClosed);
    return {items->get_array(), closed != nullptr && closed->is_bool() && closed->get_bool(),
            foundation::json::uint64Field(exchange->reply, wire::key::handleID).value_or(0)};
}

// A directory of `count` empty files, named f0, f1, ...
uint64_t directoryOfFiles(Context& context, const std::string& name, int count) {
    auto& connection = context.connection();
    const uint64_t directory = succeeded(connection.createDirectory(context.workDirectory(), name),
                                         "create_directory")->nodeID;
    for (int i = 0; i < count; ++i) succeeded(connection.createFile(directory, "f" + std::to_string(i)), "create_file");
    return directory;
}

void listingInOpenFirstBatch(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::listingInOpen);
    const uint64_t directory = directoryOfFiles(context, "batched", 3);
    const auto opened = succeeded(connection.openDirectoryWithFirstBatch(directory, 2), "open_directory");
    const uint64_t handle = opened.handle;
    const RawBatch batch = firstBatchOf(connection, opened);
    require(handle != 0 && !batch.handleClosed && batch.entries.size() == 2,
            "an open_directory with first_batch 2 of a directory of 3 files must carry 2 entries and keep its handle, "
            "not " + foundation::json::serialize(batch.entries) + (batch.handleClosed ? " with handle_closed" : ""));
    const uint64_t previous =
        foundation::json::uint64Field(batch.entries.back().as_object(), wire::key::nextCookie).value_or(0);
    const uint64_t plain = succeeded(connection.openDirectory(directory), "open_directory");
    succeeded(connection.enumerate(directory, plain, 0, 2), "enumerate_directory");
    const auto listed = connection.lastExchange("enumerate_directory");
    const auto* items = listed ? listed->reply.if_contains(wire::key::dirItems) : nullptr;
    require(items != nullptr && *items == boost::json::value(batch.entries),
            "the first batch is " + foundation::json::serialize(batch.entries) +
                ", where enumerate_directory from cookie 0 gives " +
                (items ? foundation::json::serialize(*items) : std::string("nothing")));
    const auto rest = succeeded(connection.enumerate(directory, handle, previous, 2),
                                "enumerate_directory after the first batch");
    std::set<std::string> names{"f0", "f1", "f2"};
    for (const auto& entry : batch.entries) {
        const auto* name = entry.is_object() ? entry.as_object().if_contains(wire::key::name) : nullptr;
        if (name != nullptr && name->is_string()) names.erase(std::string(name->get_string()));
    }
    require(names.size() == 1 && rest.size() == 1 && rest.front()->name == *names.begin(),
            "the listing going on after the first batch must give the one name the batch left out");
    succeeded(connection.closeDirectory(directory, handle), "close_directory");
    succeeded(connection.closeDirectory(directory, plain), "close_directory");
}

void listingInOpenClosesWholeListing(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::listingInOpen);
    const uint64_t directory = directoryOfFiles(context, "whole", 3);
    const RawBatch batch =
        firstBatchOf(connection, succeeded(connection.openDirectoryWithFirstBatch(directory, 128), "open_directory"));
    require(batch.entries.size() == 3 && batch.handleClosed,
            "an open_directory with first_batch 128 of a directory of 3 files must carry all 3 and \"handle_closed\": "
            "true, not " + foundation::json::serialize(batch.entries) +
                (batch.handleClosed ? "" : " with the handle kept"));
    failsWith(connection.closeDirectory(directory, batch.handle), darwin::ebadf,
              "close_directory of the handle the server closed with the whole listing");
}

// Forgetting only allows a server to let a node go: what the kit demands is what must stay, and
// that a node let go answers ENOENT and its id names nothing else.

void forgets(Connection& connection, const Items& nodes, uint64_t count, const std::string& what) {
    std::vector<uint64_t> ids;
    for (const auto& node : nodes) ids.push_back(node->nodeID);
    succeeded(connection.forgetNodes(ids, std::vector<uint64_t>(ids.size(), count)),
              fmt::format("forget_nodes of {} with count {}", what, count));
}

// A node the server may not have let go must still answer, as the object it was.
void requireKept(Connection& connection, const Item& node, const std::string& when) {
    const auto now = succeeded(connection.attributes(node->nodeID, node->parentNodeID, node->name),
                               fmt::format("get_attributes of \"{}\" (node {}) {}", node->name, node->nodeID, when));
    require(now->nodeID == node->nodeID && now->itemType == node->itemType,
            fmt::format("get_attributes of \"{}\" (node {}) {} answered with node {} of type {}, not the object it was",
                        node->name, node->nodeID, when, now->nodeID, static_cast<int64_t>(now->itemType)));
}

void requireSameBytes(Connection& connection, const Item& file, const std::string& contents, const std::string& when) {
    succeeded(connection.open(file->nodeID, kOpenRead), fmt::format("open of node {} {}", file->nodeID, when));
    require(readAll(connection, file->nodeID) == contents,
            fmt::format("node {} {} reads other bytes than were written to it", file->nodeID, when));
    succeeded(connection.close(file->nodeID, 0), fmt::format("close of node {} {}", file->nodeID, when));
}

void forgetKeepsCountedNode(Context& context) {
    auto& holder = context.connection();
    requireAdvertised(holder, wire::extension::forget);
    const uint64_t directory = context.workDirectory();
    Items nodes{succeeded(holder.createFile(directory, "file"), "create_file of \"file\""),
                succeeded(holder.createDirectory(directory, "directory"), "create_directory of \"directory\"")};
    if (context.claims().symlinks) {
        nodes.push_back(succeeded(holder.createSymlink(directory, "link", "file"), "create_symlink of \"link\""));
    }
    // Each node handed out three times to the holder, by its create, a listing and a lookup, and
    // once to a connection that never forgets: no forget of the holder's may let one go.
    const auto listed = listDirectory(holder, directory).entries();
    for (const auto& node : nodes) {
        const auto times = std::ranges::count_if(listed, [&](const Item& entry) { return entry->name == node->name; });
        require(times == 1, fmt::format("the listing of a directory holding \"{}\" names it {} times", node->name, times));
        succeeded(holder.lookup(directory, node->name), "lookup of \"" + node->name + "\"");
    }
    const auto keeper = context.openConnection();
    for (const auto& node : nodes) succeeded(keeper->lookup(directory, node->name), "lookup of \"" + node->name + "\"");
    for (int forgotten = 1; forgotten <= 3; ++forgotten) {
        forgets(holder, nodes, 1, "the nodes a create, a listing and a lookup handed out");
        for (const auto& node : nodes) {
            requireKept(*keeper, node,
                        fmt::format("after one connection forgot {} of the 3 times it was handed the node, while "
                                    "another holds it once",
                                    forgotten));
        }
    }
}

void forgetLetsGoAndFindsAgain(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::forget);
    const uint64_t directory = context.workDirectory();
    const std::string contents = "found again by its name\n";
    const auto old = makeFile(connection, directory, "file", contents);
    succeeded(connection.lookup(directory, "file"), "lookup of \"file\"");
    // Its create and the lookup: the whole count, so the server may let it go from here on.
    forgets(connection, {old}, 2, "\"file\"");
    const auto after = connection.attributes(old->nodeID, directory, "file");
    const bool gone = !after.value;
    if (gone) {
        failsWith(after, darwin::enoent, fmt::format("get_attributes of node {} after its whole count was forgotten", old->nodeID));
    } else {
        require((*after.value)->nodeID == old->nodeID && (*after.value)->itemType == ItemType::File,
                fmt::format("get_attributes of node {} after its whole count was forgotten answered with node {}, "
                            "not the file it was",
                            old->nodeID, (*after.value)->nodeID));
    }
    const auto other = succeeded(connection.createFile(directory, "other"), "create_file of \"other\" after the forget");
    require(other->nodeID != old->nodeID,
            fmt::format("create_file of \"other\" gave node {}, the id of the file forgotten just before: an id never "
                        "names another object",
                        other->nodeID));
    const auto found = succeeded(connection.lookup(directory, "file"), "lookup of \"file\" after the forget");
    require(found->itemType == ItemType::File,
            fmt::format("lookup of \"file\" after the forget found type {}", static_cast<int64_t>(found->itemType)));
    if (found->nodeID == old->nodeID) {
        // The same object may get its id back, which keeps its inode number on a mount.
        context.note(gone ? "the server let the node go, and gave the file its id back when it was found again"
                          : "the server kept the node");
    } else {
        failsWith(connection.attributes(old->nodeID, directory, "file"), darwin::enoent,
                  fmt::format("get_attributes of node {} once lookup found \"file\" again as node {}", old->nodeID,
                              found->nodeID));
        context.note("the server let the node go, and lookup found the file again under a new id");
    }
    requireSameBytes(connection, found, contents, "found again after the forget");
}

void forgetKeepsParentOfHeldChild(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::forget);
    const uint64_t work = context.workDirectory();
    const std::string contents = "held while its directory is forgotten\n";
    const auto directory = succeeded(connection.createDirectory(work, "directory"), "create_directory of \"directory\"");
    const auto file = makeFile(connection, directory->nodeID, "file", contents);
    succeeded(connection.lookup(work, "directory"), "lookup of \"directory\"");
    succeeded(connection.lookup(directory->nodeID, "file"), "lookup of \"file\" in \"directory\"");
    // The directory's whole count; the file stays held twice, so whatever the server keeps it
    // by must stay, and the directory may go only where the file is not reached through it.
    forgets(connection, {directory}, 2, "\"directory\", whose \"file\" is still held");
    requireKept(connection, file, "after its directory was forgotten");
    requireSameBytes(connection, file, contents, "after its directory was forgotten");
    const auto found = succeeded(connection.lookup(work, "directory"), "lookup of \"directory\" after its forget");
    require(found->itemType == ItemType::Directory,
            fmt::format("lookup of \"directory\" after its forget found type {}", static_cast<int64_t>(found->itemType)));
    const auto entries = listDirectory(connection, found->nodeID).entries();
    const auto entry = std::ranges::find_if(entries, [](const Item& item) { return item->name == "file"; });
    require(entry != entries.end(), "the listing of \"directory\" found again after its forget lacks \"file\"");
    require((*entry)->nodeID == file->nodeID,
            fmt::format("the listing of \"directory\" found again after its forget names \"file\" as node {}, while "
                        "node {} still holds it: one object, one id",
                        (*entry)->nodeID, file->nodeID));
    if (found->nodeID != directory->nodeID) {
        failsWith(connection.attributes(directory->nodeID, work, "directory"), darwin::enoent,
                  fmt::format("get_attributes of node {} once lookup found \"directory\" again as node {}",
                              directory->nodeID, found->nodeID));
    }
}

void forgetKeepsOpenNode(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::forget);
    const std::string contents = "read through an open after the forget\n";
    const auto file = makeFile(connection, context.workDirectory(), "open", contents);
    // Opened on a connection that was never handed the node, so that only the open keeps it.
    const auto opener = context.openConnection();
    succeeded(opener->open(file->nodeID, kOpenRead), "open of \"open\" on a second connection");
    forgets(connection, {file}, 1, "\"open\", its create's whole count, while another connection has it open");
    requireKept(*opener, file, "while open, after its whole count was forgotten");
    require(readAll(*opener, file->nodeID) == contents,
            "a read through the open after the node's whole count was forgotten gives other bytes than were written");
    succeeded(opener->close(file->nodeID, 0), "close of \"open\"");
}

void forgetPassesOverNonsense(Context& context) {
    auto& connection = context.connection();
    requireAdvertised(connection, wire::extension::forget);
    const auto root = succeeded(connection.root(), "get_root_attributes");
    const auto file = succeeded(connection.createFile(context.workDirectory(), "counted"), "create_file of \"counted\"");
    // 0 names nothing, and no server hands out the highest id in practice.
    succeeded(connection.forgetNodes({0, UINT64_MAX}, {1, 1}), "forget_nodes of ids never issued (0 and 2^64-1)");
    succeeded(connection.forgetNodes({root->nodeID}, {1}), "forget_nodes of the root");
    succeeded(connection.forgetNodes({file->nodeID}, {uint64_t{1} << 40}),
              "forget_nodes of \"counted\" with count 2^40, where it was handed out once");
    failsWith(connection.forgetNodes({0}, {}), darwin::einval, "forget_nodes of 1 id and no count");
    failsWith(connection.forgetNodes({0, UINT64_MAX}, {1}), darwin::einval, "forget_nodes of 2 ids and 1 count");
    requireKept(connection, root, "after forget_nodes named the root");
    require(succeeded(connection.root(), "get_root_attributes after the root was forgotten")->nodeID == root->nodeID,
            "get_root_attributes gives another node id once forget_nodes named the root");
    requireKept(connection, file, "after a forget with a count above what it was handed out");
    // Its whole count, then once more: a node let go, or one the server holds no count of.
    succeeded(connection.forgetNodes({file->nodeID}, {1}), "forget_nodes of \"counted\" with its whole count");
    succeeded(connection.forgetNodes({file->nodeID}, {1}), "forget_nodes of \"counted\" once its whole count was forgotten");
}

}  // namespace

void addExtensionChecks(std::vector<Check>& checks) {
    checks.push_back({"extensions.create_opens",
                      "where create_opens is advertised, a create with open_modes opens the file, says so, and the "
                      "open serves writes, reads and a close",
                      kWritable, createOpens});
    checks.push_back({"extensions.open_directory_record",
                      "where open_directory_record is advertised, an open_directory carries the directory's own record",
                      kWritable, openDirectoryRecord});
    checks.push_back({"extensions.post_op_records",
                      "where post_op_records is advertised, creates, removes and renames carry the records of the "
                      "directories they changed, and writes the file's, as get_attributes then gives them",
                      kWritable, postOpRecords});
    checks.push_back({"extensions.listing_in_open_first_batch",
                      "where listing_in_open is advertised, an open_directory's first batch is what enumerate_directory "
                      "from cookie 0 gives, and the listing goes on from its last cookie",
                      kWritable, listingInOpenFirstBatch});
    checks.push_back({"extensions.listing_in_open_closes_whole_listing",
                      "where listing_in_open is advertised, a first batch that is the whole listing comes with the "
                      "handle closed, and closing it again answers EBADF",
                      kWritable, listingInOpenClosesWholeListing});
    checks.push_back({"extensions.forget_keeps_counted_node",
                      "where forget is advertised, a node stays while any connection still holds a count of it: "
                      "creates, listings and lookups each hand it out once",
                      kWritable, forgetKeepsCountedNode});
    checks.push_back({"extensions.forget_lets_go_and_finds_again",
                      "where forget is advertised, a node forgotten with its whole count is found again by its name; "
                      "an id let go answers ENOENT and never names another object",
                      kWritable, forgetLetsGoAndFindsAgain});
    checks.push_back({"extensions.forget_keeps_parent_of_held_child",
                      "where forget is advertised, a file still held stays reachable, as the same node, after its "
                      "directory is forgotten",
                      kWritable, forgetKeepsParentOfHeldChild});
    checks.push_back({"extensions.forget_keeps_open_node",
                      "where forget is advertised, a node open on another connection stays readable after its whole "
                      "count is forgotten",
                      kWritable, forgetKeepsOpenNode});
    checks.push_back({"extensions.forget_passes_over_nonsense",
                      "where forget is advertised, ids never issued, the root and counts above what was handed out "
                      "are passed over, and lists of unequal length fail with EINVAL",
                      kWritable, forgetPassesOverNonsense});
}

}  // namespace brindle::conform
