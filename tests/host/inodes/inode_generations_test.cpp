#include "host/fuse/inodes/inode_table.h"

#include "module/volume/BrindleVolume.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

using namespace brindle;
using namespace brindle::host;

namespace {

using ItemPtr = std::shared_ptr<BrindleItem>;

ItemPtr itemOf(uint64_t nodeID, uint64_t parentNodeID, std::string name, ItemType type = ItemType::File) {
    auto item = std::make_shared<BrindleItem>();
    item->nodeID = nodeID;
    item->parentNodeID = parentNodeID;
    item->name = std::move(name);
    item->itemType = type;
    // One birth for every object, unless a case says otherwise: found again by name and type.
    item->birthTime = {1700000000, 0};
    return item;
}

ItemPtr rootOf(uint64_t nodeID) { return itemOf(nodeID, 0, "/", ItemType::Directory); }

// The new server's tracked items, as the inode table asks the new volume for them.
struct NewServer {
    std::unordered_map<uint64_t, ItemPtr> items;
    ItemPtr add(const ItemPtr& item) { return items[item->nodeID] = item; }
    InodeTable::TrackedItem tracked() {
        return [this](uint64_t nodeID) {
            const auto found = items.find(nodeID);
            return found == items.end() ? nullptr : found->second;
        };
    }
};

}  // namespace

// The restarted server numbers its nodes differently: what the kernel holds keeps its inode number
// once found again under its name, parents first, and a new node whose id the kernel holds for
// another object gets a number of its own.
TEST(InodeGenerations, HeldInodesKeepTheirNumbersAndNewNodesNeverTakeAHeldOne) {
    InodeTable table(rootOf(2), 2);
    const uint64_t dir = table.remember(itemOf(10, 2, "dir", ItemType::Directory), 1, InodeTable::rootInode, "dir");
    const uint64_t file = table.remember(itemOf(11, 10, "file"), 1, dir, "file");
    ASSERT_EQ(dir, 10u);
    ASSERT_EQ(file, 11u);

    NewServer server;
    table.startGeneration(2, rootOf(500), 500, server.tracked());
    EXPECT_EQ(table.item(InodeTable::rootInode)->nodeID, 500u);
    EXPECT_EQ(table.item(dir), nullptr) << "an earlier connection's item is never handed out";
    EXPECT_EQ(table.held(dir)->generation, 1u);

    // Node 10 is now another object, unrelated to the directory the kernel holds as inode 10.
    const auto stranger = server.add(itemOf(10, 500, "stranger"));
    const uint64_t strangerInode = table.remember(stranger, 1, InodeTable::rootInode, "stranger");
    EXPECT_NE(strangerInode, dir);
    EXPECT_NE(strangerInode, file);

    const auto newDir = server.add(itemOf(20, 500, "dir", ItemType::Directory));
    EXPECT_EQ(table.rebind(dir, newDir, 2), newDir);
    EXPECT_EQ(table.item(dir), newDir);
    EXPECT_EQ(table.nodeIDForInode(dir), 20u);
    // A listing names the file by node id only; its name finds the held inode.
    server.add(itemOf(21, 20, "file"));
    EXPECT_EQ(table.inodeForNodeID(21), file);
    EXPECT_EQ(table.item(file)->nodeID, 21u);
    EXPECT_EQ(table.inodeForNodeID(10), strangerInode);
}

// A file renamed away and another made under its name while the server was away: the held inode
// is bound to neither, as is a file whose server tells no birth time, so no open of it reads
// another file's bytes; a directory is still found by name and type.
TEST(InodeGenerations, ANameThatNowLeadsToAnotherObjectOfTheTypeLeavesTheInodeStale) {
    InodeTable table(rootOf(2), 2);
    const uint64_t swapped = table.remember(itemOf(10, 2, "a"), 1, InodeTable::rootInode, "a");
    const uint64_t unborn = table.remember(itemOf(11, 2, "b"), 1, InodeTable::rootInode, "b");
    const uint64_t dir = table.remember(itemOf(12, 2, "d", ItemType::Directory), 1, InodeTable::rootInode, "d");
    NewServer server;
    table.startGeneration(2, rootOf(500), 500, server.tracked());

    auto newA = itemOf(30, 500, "a");
    newA->birthTime = {1700000001, 0};
    server.add(newA);
    EXPECT_NE(table.inodeForNodeID(30), swapped) << "a listing bound the held inode to another file";
    EXPECT_EQ(table.rebind(swapped, newA, 2), nullptr);
    EXPECT_TRUE(table.held(swapped)->stale);

    auto bornUnknown = itemOf(31, 500, "b");
    bornUnknown->birthTime = {0, 0};
    EXPECT_EQ(table.rebind(unborn, bornUnknown, 2), nullptr);

    auto remadeDir = itemOf(32, 500, "d", ItemType::Directory);
    remadeDir->birthTime = {1700000002, 0};
    EXPECT_EQ(table.rebind(dir, remadeDir, 2), remadeDir);
}

TEST(InodeGenerations, ANameThatNowLeadsToAnotherTypeLeavesTheInodeStale) {
    InodeTable table(rootOf(2), 2);
    const uint64_t file = table.remember(itemOf(11, 2, "victim"), 1, InodeTable::rootInode, "victim");
    NewServer server;
    table.startGeneration(2, rootOf(2), 2, server.tracked());

    const auto directory = server.add(itemOf(30, 2, "victim", ItemType::Directory));
    // Looked up by path, the name gives the directory its own inode; the file's stays behind.
    const uint64_t directoryInode = table.remember(directory, 1, InodeTable::rootInode, "victim");
    EXPECT_NE(directoryInode, file);
    EXPECT_EQ(table.rebind(file, directory, 2), nullptr);
    EXPECT_TRUE(table.held(file)->stale);
    EXPECT_EQ(table.item(file), nullptr);
    // Stale for good, also once the name leads to a file again.
    EXPECT_EQ(table.rebind(file, server.add(itemOf(31, 2, "victim")), 2), nullptr);
}

TEST(InodeGenerations, ForgettingAnEarlierConnectionsInodeGivesNothingBackToTheNewVolume) {
    InodeTable table(rootOf(2), 2);
    const uint64_t file = table.remember(itemOf(11, 2, "f"), 1, InodeTable::rootInode, "f");
    const uint64_t open = table.remember(itemOf(12, 2, "g"), 0, InodeTable::rootInode, "g");
    table.recordOpen(open, BrindleVolume::openModeRead, 1);
    NewServer server;
    table.startGeneration(2, rootOf(2), 2, server.tracked());
    EXPECT_EQ(table.forget(file, 1), nullptr);
    EXPECT_EQ(table.held(file), std::nullopt);
    EXPECT_EQ(table.recordRelease(open, BrindleVolume::openModeRead, 1).unreferenced, nullptr);
    EXPECT_EQ(table.held(open), std::nullopt);
}

// Requests keep naming nodes while a reconnect starts the next generation: within one generation
// no two nodes ever share an inode number, and a number the kernel holds is never given to another.
TEST(InodeGenerations, NumbersStayUniqueWhileGenerationsChangeUnderLoad) {
    InodeTable table(rootOf(2), 2);
    for (uint64_t node = 3; node < 50; ++node)
        table.remember(itemOf(node, 2, "held" + std::to_string(node)), 1, InodeTable::rootInode,
                       "held" + std::to_string(node));

    std::vector<NewServer> servers(4);
    std::atomic<bool> done{false};
    std::mutex seenMutex;
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> inodeOfNodeInGeneration;  // (generation, node) -> inode
    std::vector<std::thread> namers;
    for (int t = 0; t < 3; ++t) {
        namers.emplace_back([&, t] {
            uint64_t node = 1000 + t;
            while (!done) {
                const uint64_t generation = table.generation();
                const uint64_t inode = table.inodeForNodeID(node % 90 + 3);
                if (table.generation() == generation) {
                    std::lock_guard lock(seenMutex);
                    auto [slot, fresh] = inodeOfNodeInGeneration.try_emplace({generation, node % 90 + 3}, inode);
                    EXPECT_EQ(slot->second, inode) << "node " << node % 90 + 3 << " changed inode in generation "
                                                   << generation;
                }
                node += 7;
            }
        });
    }
    for (uint64_t generation = 2; generation <= 4; ++generation) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        table.startGeneration(generation, rootOf(2), 2, servers[generation - 1].tracked());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done = true;
    for (auto& thread : namers) thread.join();

    std::map<std::pair<uint64_t, uint64_t>, uint64_t> nodeOfInodeInGeneration;
    for (const auto& [key, inode] : inodeOfNodeInGeneration) {
        const auto [generation, node] = key;
        auto [slot, fresh] = nodeOfInodeInGeneration.try_emplace({generation, inode}, node);
        EXPECT_EQ(slot->second, node) << "two nodes share inode " << inode << " in generation " << generation;
        if (generation > 1 && node >= 3 && node < 50) {
            EXPECT_NE(inode, node) << "node " << node << " took the number the kernel holds for another object";
        }
    }
}

// The new server's size and time for a file prove nothing about the pages the kernel cached from
// the old one, nor does a new volume's listing verifier, which counts afresh.
TEST(InodeGenerations, AStampFromAnEarlierConnectionKeepsNoCache) {
    InodeTable table(rootOf(2), 2);
    const uint64_t file = table.remember(itemOf(11, 2, "file"), 1, InodeTable::rootInode, "file");
    const InodeTable::ContentStamp stamp{4, {1000, 1}, 3};
    ASSERT_FALSE(table.restamp(file, stamp));
    ASSERT_TRUE(table.restamp(file, stamp));

    NewServer server;
    table.startGeneration(2, rootOf(2), 2, server.tracked());
    ASSERT_EQ(table.rebind(file, server.add(itemOf(11, 2, "file")), 2)->nodeID, 11u);
    EXPECT_FALSE(table.restamp(file, stamp)) << "the first open on the new connection starts a new cache";
    EXPECT_TRUE(table.restamp(file, stamp));
}

// After a reconnect a listing names every entry; only those the kernel is handed keep a binding,
// so walking a large tree does not grow the table, and a listed entry keeps its number when the
// kernel is later handed it.
TEST(InodeGenerations, NamingANodeWithoutHandingItOverKeepsNothing) {
    InodeTable table(rootOf(1), 1);
    NewServer server;
    table.startGeneration(2, rootOf(1), 1, server.tracked());
    const size_t bound = table.boundNodeCount();
    for (uint64_t node = 100; node < 1100; ++node) EXPECT_EQ(table.inodeForNodeID(node), node);
    EXPECT_EQ(table.boundNodeCount(), bound);
    EXPECT_EQ(table.remember(itemOf(500, 1, "listed"), 1, InodeTable::rootInode, "listed"), 500u);
    EXPECT_EQ(table.boundNodeCount(), bound + 1);
}

// What the kernel let go of keeps its number across a restart while the table holds its record,
// and past the bound a number is lost to its object rather than shown for another one. Within one
// server's run a forgotten node is known by its id, and a new node under its name is another object.
TEST(InodeGenerations, ForgottenInodesKeepTheirNumbersAndNoNumberEverNamesTwoObjects) {
    InodeTable table(rootOf(2), 2, 3);
    for (uint64_t node = 10; node < 14; ++node) {
        const std::string name = "f" + std::to_string(node);
        ASSERT_EQ(table.remember(itemOf(node, 2, name), 1, InodeTable::rootInode, name), node);
        ASSERT_TRUE(table.forget(node, 1));
    }
    EXPECT_EQ(table.forgottenCount(), 3u);

    NewServer server;
    table.startGeneration(2, rootOf(2), 2, server.tracked());
    std::set<uint64_t> shown;
    const auto handOver = [&](uint64_t node, const std::string& name) {
        const uint64_t inode = table.remember(server.add(itemOf(node, 2, name)), 1, InodeTable::rootInode, name);
        EXPECT_TRUE(shown.insert(inode).second) << name << " took inode " << inode << " of another object";
        return inode;
    };
    // The restarted server numbers in another order: its node 12 is f11, and node 10 a new file.
    EXPECT_EQ(handOver(12, "f11"), 11u);
    EXPECT_EQ(handOver(20, "f13"), 13u);
    const uint64_t newFile = handOver(10, "new");
    EXPECT_NE(newFile, 10u) << "the number of f10, whose record went past the bound, names another file";
    const uint64_t lost = handOver(11, "f10");
    EXPECT_NE(lost, 12u);
    EXPECT_EQ(handOver(13, "f12"), 12u);
    EXPECT_EQ(table.forgottenCount(), 0u);

    // Forgotten on this server, then found again by its node id under a new name.
    ASSERT_TRUE(table.forget(13, 1));
    EXPECT_EQ(table.remember(server.add(itemOf(20, 2, "renamed")), 1, InodeTable::rootInode, "renamed"), 13u);
    // A node the same server made under a forgotten name is not the forgotten one.
    ASSERT_TRUE(table.forget(12, 1));
    const uint64_t replacement =
        table.remember(server.add(itemOf(30, 2, "f12")), 1, InodeTable::rootInode, "f12");
    EXPECT_NE(replacement, 12u);
    EXPECT_FALSE(shown.contains(replacement));
}
