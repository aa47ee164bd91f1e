#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "conform/verdict.h"
#include "platform/foundation/errno_table.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

#include <fmt/format.h>

namespace brindle::conform {

namespace {

namespace darwin = foundation::darwin;

// Bytes that show where they came from: no two 4-byte runs of a 1 MiB stretch are the same.
std::string pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Where two byte strings first differ, for a reason line.
std::string difference(const std::string& got, const std::string& wanted) {
    size_t at = 0;
    while (at < got.size() && at < wanted.size() && got[at] == wanted[at]) ++at;
    return fmt::format("{} bytes where {} were written, differing from byte {} on", got.size(), wanted.size(), at);
}

Item openedFile(Context& context, const std::string& name, const std::string& contents) {
    auto& connection = context.connection();
    const auto file = makeFile(connection, context.workDirectory(), name, contents);
    succeeded(connection.open(file->nodeID, kOpenRead | kOpenWrite), "open of \"" + name + "\"");
    return file;
}

void writeReadRoundTrip(Context& context) {
    auto& connection = context.connection();
    const auto file = openedFile(context, "round-trip", "");
    // Writes of odd sizes at odd offsets, one past 1 MiB, the last one overlapping the others.
    std::string expected;
    const auto put = [&](uint64_t offset, const std::string& data) {
        writeAll(connection, file->nodeID, offset, data);
        if (expected.size() < offset + data.size()) expected.resize(offset + data.size(), '\0');
        expected.replace(offset, data.size(), data);
    };
    put(0, pattern(4097, 1));
    put(4097, pattern(200 * 1024 + 3, 2));
    put(1024 * 1024 + 5, pattern(777, 3));
    put(1000, pattern(10000, 4));
    const std::string got = readAll(connection, file->nodeID);
    require(got == expected, "reading the file back gives " + difference(got, expected));
    const auto attributes = succeeded(connection.attributes(file->nodeID, file->parentNodeID, file->name), "get_attributes");
    require(attributes->size == expected.size(),
            fmt::format("the file's size is {}; {} bytes were written", attributes->size, expected.size()));
    succeeded(connection.close(file->nodeID, 0), "close");
}

void readPastEnd(Context& context) {
    auto& connection = context.connection();
    const auto file = fileToRead(context);
    const auto current = succeeded(connection.attributes(file->nodeID, file->parentNodeID, file->name), "get_attributes");
    succeeded(connection.open(file->nodeID, kOpenRead), "open");
    for (const uint64_t offset : {current->size, current->size + 1, current->size + 1000000}) {
        const auto bytes = succeeded(connection.read(file->nodeID, offset, 4096), fmt::format("read at offset {}", offset));
        require(bytes.empty(), fmt::format("read at offset {} of a file of {} bytes returned {} bytes", offset,
                                           current->size, bytes.size()));
    }
    succeeded(connection.close(file->nodeID, 0), "close");
}

void writeExtends(Context& context) {
    auto& connection = context.connection();
    const auto file = openedFile(context, "extended", "");
    writeAll(connection, file->nodeID, 4000, std::string(100, 'x'));
    const auto attributes = succeeded(connection.attributes(file->nodeID, file->parentNodeID, file->name), "get_attributes");
    require(attributes->size == 4100, fmt::format("after writing 100 bytes at offset 4000 into an empty file its size is {}", attributes->size));
    const std::string contents = readAll(connection, file->nodeID);
    require(contents == std::string(4000, '\0') + std::string(100, 'x'),
            "the file reads as " + difference(contents, std::string(4000, '\0') + std::string(100, 'x')) +
                "; the hole before the write must read as zeros");
    succeeded(connection.close(file->nodeID, 0), "close");
}

void truncate(Context& context) {
    auto& connection = context.connection();
    const std::string contents = pattern(10000, 5);
    const auto file = openedFile(context, "truncated", contents);
    const auto shrunk = succeeded(connection.setSize(file, 3000), "set_attributes of the size to 3000");
    require(shrunk->size == 3000, fmt::format("set_attributes to size 3000 answered size {}", shrunk->size));
    const auto grown = succeeded(connection.setSize(file, 6000), "set_attributes of the size to 6000");
    require(grown->size == 6000, fmt::format("set_attributes to size 6000 answered size {}", grown->size));
    const std::string expected = contents.substr(0, 3000) + std::string(3000, '\0');
    const std::string got = readAll(connection, file->nodeID);
    require(got == expected, "after shrinking to 3000 and growing to 6000 bytes the file reads as " + difference(got, expected));
    succeeded(connection.close(file->nodeID, 0), "close");
}

void unlinkedWhileOpen(Context& context) {
    auto& connection = context.connection();
    const std::string contents = pattern(70000, 6);
    const auto file = openedFile(context, "unlinked", contents);
    succeeded(connection.removeFile(file->parentNodeID, "unlinked"), "remove_file of the open file");
    failsWith(connection.lookup(file->parentNodeID, "unlinked"), darwin::enoent, "lookup of the removed name");
    const std::string got = readAll(connection, file->nodeID);
    require(got == contents, "the open file, its name removed, reads as " + difference(got, contents));
    writeAll(connection, file->nodeID, contents.size(), "more");
    require(readAll(connection, file->nodeID, contents.size()) == "more",
            "the open file, its name removed, does not read back what was written to it");
    succeeded(connection.close(file->nodeID, 0), "close of the removed file");
}

void twoConnectionsOpen(Context& context) {
    auto& first = context.connection();
    const std::string contents = pattern(20000, 7);
    const auto file = openedFile(context, "shared", contents);
    auto second = context.openConnection();
    const auto seen = succeeded(second->lookup(file->parentNodeID, "shared"), "lookup on a second connection");
    require(seen->nodeID == file->nodeID, "a second connection looks the file up as another node");
    succeeded(second->open(file->nodeID, kOpenRead), "open on a second connection");
    require(readAll(*second, file->nodeID) == contents, "the second connection reads other bytes than were written");
    succeeded(second->close(file->nodeID, 0), "close on the second connection");
    second.reset();

    require(readAll(first, file->nodeID) == contents,
            "after a second connection opened and closed the file, the first reads other bytes");
    writeAll(first, file->nodeID, 0, "first");
    succeeded(first.removeFile(file->parentNodeID, "shared"), "remove_file of the file open on the first connection");
    require(readAll(first, file->nodeID, 0, 5).substr(0, 5) == "first",
            "after a second connection closed the file and its name was removed, the first cannot read it");
    succeeded(first.close(file->nodeID, 0), "close on the first connection");
}

void setMode(Context& context) {
    auto& connection = context.connection();
    const auto file = makeFile(connection, context.workDirectory(), "mode", "");
    const auto changed = succeeded(connection.setMode(file, 0604), "set_attributes of the mode to 0604");
    require((changed->mode & 07777) == 0604, fmt::format("set_attributes to mode 0604 answered mode {:04o}", changed->mode & 07777));
    const auto read = succeeded(connection.attributes(file->nodeID, file->parentNodeID, file->name), "get_attributes");
    require((read->mode & 07777) == 0604, fmt::format("after set_attributes to mode 0604, get_attributes gives {:04o}", read->mode & 07777));
}

void setTimes(Context& context) {
    auto& connection = context.connection();
    const auto file = makeFile(connection, context.workDirectory(), "times", "");
    succeeded(connection.setModifyTime(file, 1234567890, 123456789), "set_attributes of the modification time");
    const auto read = succeeded(connection.attributes(file->nodeID, file->parentNodeID, file->name), "get_attributes");
    require(read->attributesLoaded, "get_attributes gave a record without the attribute set");
    require(read->modifyTime.tv_sec == 1234567890 && read->modifyTime.tv_nsec == 123456789,
            fmt::format("the modification time set to 1234567890.123456789 reads {}.{:09}",
                        static_cast<long long>(read->modifyTime.tv_sec), static_cast<long long>(read->modifyTime.tv_nsec)));
}

void needsAppends(Context& context) {
    if (!context.connection().serverSupports(wire::extension::append)) skip("the server does not advertise \"append\"");
}

// Each append lands at the end as the file stands, whatever offset the client last knew, and
// says where it landed: also after another connection grew the file.
void appendsLandAtEnd(Context& context) {
    needsAppends(context);
    auto& connection = context.connection();
    const auto file = openedFile(context, "appended", "head\n");
    auto second = context.openConnection();
    succeeded(second->open(file->nodeID, kOpenRead | kOpenWrite), "open on a second connection");
    std::string expected = "head\n";
    for (int round = 0; round < 3; ++round) {
        for (Connection* writer : {&connection, second.get()}) {
            const std::string line = fmt::format("line {} from {}\n", round, writer == &connection ? "first" : "second");
            const auto appended = succeeded(writer->append(file->nodeID, line), "write with \"append\"");
            require(appended.written == line.size(),
                    fmt::format("an append of {} bytes wrote {}", line.size(), appended.written));
            require(appended.offset == expected.size(),
                    fmt::format("an append to a file of {} bytes says it landed at {}", expected.size(), appended.offset));
            expected += line;
            require(appended.size == expected.size(),
                    fmt::format("after an append the file is {} bytes; the reply says {}", expected.size(), appended.size));
        }
    }
    const std::string got = readAll(connection, file->nodeID);
    require(got == expected, "after appends from two connections the file reads as " + difference(got, expected));
    succeeded(second->close(file->nodeID, 0), "close on the second connection");
    succeeded(connection.close(file->nodeID, 0), "close");
}

// "append" moves only the writes that carry it: a positional write on the same open still lands
// at its offset.
void appendLeavesPositionalWrites(Context& context) {
    needsAppends(context);
    auto& connection = context.connection();
    const auto file = openedFile(context, "mixed", "0123456789");
    succeeded(connection.append(file->nodeID, "tail"), "write with \"append\"");
    writeAll(connection, file->nodeID, 2, "ab");
    const std::string got = readAll(connection, file->nodeID);
    require(got == "01ab456789tail", "a positional write after an append left the file reading as " +
                                         difference(got, "01ab456789tail"));
    succeeded(connection.close(file->nodeID, 0), "close");
}

}  // namespace

void addFileChecks(std::vector<Check>& checks) {
    checks.push_back({"files.write_read_round_trip",
                      "writes of odd sizes at odd offsets, past 1 MiB and overlapping, read back as written",
                      kWritable, writeReadRoundTrip});
    checks.push_back({"files.read_past_end", "a read at or past the end of a file returns 0 bytes and succeeds",
                      kAnyServer, readPastEnd});
    checks.push_back({"files.write_extends", "a write past the end grows the file, and the hole reads as zeros",
                      kWritable, writeExtends});
    checks.push_back({"files.truncate", "set_attributes of the size shrinks and grows a file; grown bytes read as zeros",
                      kWritable, truncate});
    checks.push_back({"files.unlinked_while_open",
                      "a file whose name is removed while it is open stays readable and writable", kWritable,
                      unlinkedWhileOpen});
    checks.push_back({"files.two_connections_open",
                      "a second connection's open and close of a file leave the first connection's open undisturbed",
                      kWritable, twoConnectionsOpen});
    checks.push_back({"files.set_mode", "set_attributes of the mode is answered and kept", kWritable, setMode});
    checks.push_back({"files.set_times", "a modification time set to the nanosecond is kept to the nanosecond",
                      kWritable, setTimes});
    checks.push_back({"files.appends_land_at_end",
                      "with \"append\" advertised, each append from either of two connections lands at the end "
                      "and its reply gives that offset and the new size",
                      kWritable, appendsLandAtEnd});
    checks.push_back({"files.append_leaves_positional_writes",
                      "with \"append\" advertised, a write without it still lands at its offset", kWritable,
                      appendLeavesPositionalWrites});
}

}  // namespace brindle::conform
