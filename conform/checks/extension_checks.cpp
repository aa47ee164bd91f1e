#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "platform/foundation/json.h"
#include "protocol/extensions.h"

namespace brindle::conform {

namespace {

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

}  // namespace

void addExtensionChecks(std::vector<Check>& checks) {
    checks.push_back({"extensions.create_opens",
                      "where create_opens is advertised, a create with open_modes opens the file, says so, and the "
                      "open serves writes, reads and a close",
                      kWritable, createOpens});
    checks.push_back({"extensions.open_directory_record",
                      "where open_directory_record is advertised, an open_directory carries the directory's own record",
                      kWritable, openDirectoryRecord});
}

}  // namespace brindle::conform
