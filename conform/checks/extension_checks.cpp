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

}  // namespace

void addExtensionChecks(std::vector<Check>& checks) {
    checks.push_back({"extensions.create_opens",
                      "where create_opens is advertised, a create with open_modes opens the file, says so, and the "
                      "open serves writes, reads and a close",
                      kWritable, createOpens});
}

}  // namespace brindle::conform
