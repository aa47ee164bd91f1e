#include "conform/scratch.h"

#include "conform/expect.h"
#include "conform/fixtures.h"

#include <fmt/format.h>

#include <random>

namespace brindle::conform {

namespace {

std::string uniqueName() {
    std::random_device random;
    return fmt::format("brindle-conform-{:08x}{:08x}", random(), random());
}

void removeTree(Connection& connection, uint64_t parentID, const std::string& name, uint64_t nodeID) {
    for (const auto& entry : listDirectory(connection, nodeID).entries()) {
        if (entry->name == "." || entry->name == "..") continue;
        if (entry->itemType == ItemType::Directory) {
            removeTree(connection, nodeID, entry->name, entry->nodeID);
        } else {
            succeeded(connection.removeFile(nodeID, entry->name), "remove_file \"" + entry->name + "\"");
        }
    }
    succeeded(connection.removeDirectory(parentID, name), "remove_directory \"" + name + "\"");
}

}  // namespace

Scratch makeScratch(const Target& target, uint64_t rootID) {
    Scratch scratch{uniqueName()};
    try {
        Connection connection(target);
        const auto directory = connection.createDirectory(rootID, scratch.name);
        if (!directory.value) {
            scratch.failure = "the kit could not make its scratch directory " + scratch.name +
                              " in the root: " + failureText(directory.error);
            if (directory.error && directory.error->isPosix(30)) {
                scratch.failure->append("; a read-only server is checked with --read-only");
            }
            return scratch;
        }
        scratch.nodeID = (*directory.value)->nodeID;
    } catch (const CheckFailed& failure) {
        scratch.failure = std::string("the kit could not make its scratch directory: ") + failure.what();
    }
    return scratch;
}

std::optional<std::string> removeScratch(const Target& target, uint64_t rootID, const Scratch& scratch) {
    try {
        Connection connection(target);
        removeTree(connection, rootID, scratch.name, scratch.nodeID);
    } catch (const CheckFailed& failure) {
        return failure.what();
    }
    return std::nullopt;
}

}  // namespace brindle::conform
