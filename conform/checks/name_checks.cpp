#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "conform/raw_connection.h"

#include <fmt/format.h>

namespace brindle::conform {

namespace {

// Lists `directory` on a raw connection, where the kit sees every reply frame as the server sent
// it, and requires each to be readable: JSON text that is UTF-8 throughout.
size_t listRaw(RawConnection& raw, uint64_t directory, const std::string& what) {
    raw.send({{"method", "open_directory"}, {"node_id", directory}});
    const auto opened = raw.receive();
    if (!opened) fail("open_directory of " + what + " got no reply: " + describe(opened.error()));
    require(isOK(opened.value()), "open_directory of " + what + " failed: " + quoted(opened.value()));
    const auto handle = opened.value().response.at("handle_id");
    uint64_t cookie = 0;
    size_t entries = 0;
    for (int batch = 0; batch < 10000; ++batch) {
        raw.send({{"method", "enumerate_directory"}, {"parent_id", directory}, {"handle_id", handle},
                  {"cookie", cookie}, {"verifier", 1}, {"max_entries", 128}});
        const auto reply = raw.receive();
        if (!reply) fail("a listing of " + what + " got no reply: " + describe(reply.error()));
        if (reply.value().unreadable) {
            fail(fmt::format("a batch of the listing of {} from cookie {} is not UTF-8 JSON: {}", what, cookie,
                             describe(*reply.value().unreadable)));
        }
        require(isOK(reply.value()), "a listing of " + what + " failed: " + quoted(reply.value()));
        const auto* items = reply.value().response.if_contains("dir_items");
        if (items == nullptr || !items->is_array() || items->get_array().size() < 128) {
            entries += items != nullptr && items->is_array() ? items->get_array().size() : 0;
            break;
        }
        entries += 128;
        const auto* last = items->get_array().back().if_object();
        const auto* next = last != nullptr ? last->if_contains("next_cookie") : nullptr;
        require(next != nullptr && (next->is_uint64() || next->is_int64()),
                "a listing entry of " + what + " has no \"next_cookie\"");
        cookie = next->to_number<uint64_t>();
    }
    raw.send({{"method", "close_directory"}, {"node_id", directory}, {"handle_id", handle}});
    require(static_cast<bool>(raw.receive()), "close_directory of " + what + " got no reply");
    return entries;
}

void utf8Only(Context& context) {
    RawConnection raw(context.target());
    raw.handshakeAccepted();
    size_t entries = listRaw(raw, context.rootID(), "the root");
    if (!context.claims().readOnly) {
        auto& connection = context.connection();
        const uint64_t directory = context.workDirectory();
        for (const std::string name : {"caf\u00e9", "\u65e5\u672c\u8a9e", "emoji \U0001f600", "tab\tand newline\n"}) {
            succeeded(connection.createFile(directory, name), "create_file \"" + name + "\"");
        }
        entries += listRaw(raw, directory, "a directory of non-ASCII names");
    }
    context.note(fmt::format("{} entries read", entries));
}

void pathNamesRefused(Context& context) {
    auto& connection = context.connection();
    if (context.claims().readOnly) {
        const auto file = fileInRoot(context);
        failsAtAll(connection.lookup(context.rootID(), "./" + file->name), "lookup of \"./" + file->name + "\"");
        failsAtAll(connection.lookup(context.rootID(), "../" + file->name), "lookup of \"../" + file->name + "\"");
        return;
    }
    const uint64_t directory = context.workDirectory();
    const auto sub = succeeded(connection.createDirectory(directory, "sub"), "create_directory \"sub\"");
    makeFile(connection, sub->nodeID, "inner", "");
    failsAtAll(connection.lookup(directory, "sub/inner"), "lookup of \"sub/inner\", a path and not a name,");
    failsAtAll(connection.lookup(sub->nodeID, "../sub"), "lookup of \"../sub\"");
    for (const std::string name : {"sub/made", "..", ".", ""}) {
        failsAtAll(connection.createFile(directory, name), "create_file \"" + name + "\"");
    }
    failsAtAll(connection.lookup(sub->nodeID, "made"), "lookup of \"made\"");
}

}  // namespace

void addNameChecks(std::vector<Check>& checks) {
    checks.push_back({"names.utf8_only",
                      "every listing reply is UTF-8 JSON: a name that is not UTF-8 is never sent", kAnyServer,
                      utf8Only});
    checks.push_back({"names.path_names_refused",
                      "names with a slash, \".\", \"..\" and the empty name are refused: a name never reaches "
                      "another directory",
                      kAnyServer, pathNamesRefused});
}

}  // namespace brindle::conform
