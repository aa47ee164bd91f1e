#include "conform/fixtures.h"

#include "conform/expect.h"

#include <fmt/format.h>

namespace brindle::conform {

Item makeFile(Connection& connection, uint64_t parentID, const std::string& name, const std::string& contents) {
    auto item = succeeded(connection.createFile(parentID, name), "create_file \"" + name + "\"");
    if (!contents.empty()) {
        succeeded(connection.open(item->nodeID, kOpenRead | kOpenWrite), "open of \"" + name + "\" for writing");
        writeAll(connection, item->nodeID, 0, contents);
        succeeded(connection.close(item->nodeID, 0), "close of \"" + name + "\"");
    }
    return item;
}

void writeAll(Connection& connection, uint64_t nodeID, uint64_t offset, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const uint64_t written = succeeded(connection.write(nodeID, offset + done, data.substr(done)),
                                           fmt::format("write of {} bytes at offset {}", data.size() - done, offset + done));
        require(written > 0 && written <= data.size() - done,
                fmt::format("write of {} bytes at offset {} reported {} bytes written", data.size() - done,
                            offset + done, written));
        done += written;
    }
}

std::string readAll(Connection& connection, uint64_t nodeID, uint64_t offset, uint64_t limit) {
    std::string contents;
    constexpr uint64_t kChunk = 128 * 1024;
    while (contents.size() < limit) {
        const auto chunk = succeeded(connection.read(nodeID, offset + contents.size(), kChunk),
                                     fmt::format("read of {} bytes at offset {}", kChunk, offset + contents.size()));
        require(chunk.size() <= kChunk,
                fmt::format("read of {} bytes at offset {} returned {} bytes", kChunk, offset + contents.size(),
                            chunk.size()));
        if (chunk.empty()) break;
        contents += chunk;
    }
    return contents;
}

Items Listing::entries() const {
    Items all;
    for (const auto& batch : batches) all.insert(all.end(), batch.begin(), batch.end());
    return all;
}

void listOn(Connection& connection, uint64_t directoryID, uint64_t handle, uint64_t cookie, uint64_t batch,
            Listing& listing) {
    // Far more batches than any directory the kit lists needs: a listing that never ends fails.
    for (int count = 0; count < 100000; ++count) {
        auto entries = succeeded(connection.enumerate(directoryID, handle, cookie, batch),
                                 fmt::format("enumerate_directory of node {} from cookie {}", directoryID, cookie));
        const size_t size = entries.size();
        const uint64_t last = size > 0 ? entries.back()->directoryCookie : cookie;
        listing.batches.push_back(std::move(entries));
        if (size < batch) return;
        require(last > cookie, fmt::format("a full batch of {} entries from cookie {} ends at cookie {}: the "
                                           "listing cannot go on",
                                           size, cookie, last));
        cookie = last;
    }
    fail(fmt::format("the listing of node {} did not end", directoryID));
}

Listing listDirectory(Connection& connection, uint64_t directoryID, uint64_t batch) {
    const uint64_t handle = succeeded(connection.openDirectory(directoryID), fmt::format("open_directory of node {}", directoryID));
    require(handle != 0, fmt::format("open_directory of node {} gave handle 0", directoryID));
    Listing listing;
    listOn(connection, directoryID, handle, 0, batch, listing);
    succeeded(connection.closeDirectory(directoryID, handle), fmt::format("close_directory of node {}", directoryID));
    return listing;
}

std::vector<std::string> namesOf(const Items& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        if (entry->name != "." && entry->name != "..") names.push_back(entry->name);
    }
    return names;
}

Item fileInRoot(Context& context) {
    auto& connection = context.connection();
    for (const auto& entry : listDirectory(connection, context.rootID()).entries()) {
        if (entry->itemType == ItemType::File) {
            return succeeded(connection.lookup(context.rootID(), entry->name), "lookup of \"" + entry->name + "\" in the root");
        }
    }
    skip("the root holds no regular file, and the kit makes none on a read-only server");
}

Item fileToRead(Context& context) {
    if (context.claims().readOnly) return fileInRoot(context);
    std::string contents;
    for (int line = 0; contents.size() < 5000; ++line) contents += fmt::format("line {} of a file to read\n", line);
    return makeFile(context.connection(), context.workDirectory(), "to-read", contents);
}

}  // namespace brindle::conform
