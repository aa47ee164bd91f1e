#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "platform/foundation/errno_table.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

#include <fmt/format.h>

#include <chrono>
#include <thread>

namespace brindle::conform {

namespace {

namespace darwin = foundation::darwin;
namespace lock = wire::lock;

void requireLocks(Connection& connection) {
    if (!connection.advertises(wire::extension::locks)) skip("the server does not advertise \"locks\"");
}

BrindleLock rangeLock(std::string_view type, uint64_t owner, uint64_t start, uint64_t length) {
    return {.style = std::string(lock::posix), .type = std::string(type), .owner = owner, .start = start, .length = length};
}

BrindleLock wholeFile(std::string_view type, uint64_t owner) {
    return {.style = std::string(lock::flock), .type = std::string(type), .owner = owner};
}

std::string describeRange(const BrindleLock& wanted) {
    return fmt::format("{} lock of bytes {}+{}", wanted.type, wanted.start, wanted.length);
}

void conflictingOwnersRefused(Context& context) {
    auto& first = context.connection();
    requireLocks(first);
    const auto file = makeFile(first, context.workDirectory(), "locked", "");
    const auto second = context.openConnection();
    // Owner numbers are each connection's own: the same number on another connection is another owner.
    succeeded(first.setLock(file->nodeID, rangeLock(lock::write, 1, 0, 10)), "set_lock of a write lock of bytes 0+10");
    failsWith(second->setLock(file->nodeID, rangeLock(lock::write, 1, 5, 10)), darwin::eagain,
              "a second connection's write lock of bytes 5+10");
    failsWith(second->setLock(file->nodeID, rangeLock(lock::read, 1, 9, 1)), darwin::eagain,
              "a second connection's read lock of byte 9");
    failsWith(first.setLock(file->nodeID, rangeLock(lock::write, 2, 0, 1)), darwin::eagain,
              "another owner's write lock of byte 0 on the same connection");
    succeeded(second->setLock(file->nodeID, rangeLock(lock::write, 1, 10, 10)), "a write lock of bytes 10+10 beside it");
    const auto shown = succeeded(second->testLock(file->nodeID, rangeLock(lock::read, 1, 0, 0)), "test_lock of the file");
    require(shown.type == lock::write && shown.start == 0 && shown.length == 10,
            fmt::format("test_lock shows {}, not the first connection's write lock of bytes 0+10", describeRange(shown)));
    const auto own = succeeded(first.testLock(file->nodeID, rangeLock(lock::write, 1, 0, 10)), "test_lock by the holder");
    require(own.type == lock::unlock, "test_lock shows the holder its own lock as a conflict");
    // Whole-file locks are apart from byte ranges: only each other's kind refuses them.
    succeeded(first.setLock(file->nodeID, wholeFile(lock::read, 1)), "a whole-file read lock beside byte ranges");
    succeeded(second->setLock(file->nodeID, wholeFile(lock::read, 1)), "a second connection's whole-file read lock");
    failsWith(second->setLock(file->nodeID, wholeFile(lock::write, 1)), darwin::eagain,
              "a whole-file write lock while the other connection reads");
}

void unlockReleases(Context& context) {
    auto& first = context.connection();
    requireLocks(first);
    const auto file = makeFile(first, context.workDirectory(), "unlocked", "");
    const auto second = context.openConnection();
    succeeded(first.setLock(file->nodeID, rangeLock(lock::write, 1, 0, 100)), "set_lock of bytes 0+100");
    // An unlock inside a range leaves what lies on either side of it.
    succeeded(first.setLock(file->nodeID, rangeLock(lock::unlock, 1, 40, 20)), "unlock of bytes 40+20");
    succeeded(second->setLock(file->nodeID, rangeLock(lock::write, 1, 40, 20)),
              "a second connection's lock of the unlocked bytes 40+20");
    failsWith(second->setLock(file->nodeID, rangeLock(lock::write, 1, 0, 1)), darwin::eagain,
              "a second connection's lock of byte 0, still held");
    failsWith(second->setLock(file->nodeID, rangeLock(lock::write, 1, 99, 1)), darwin::eagain,
              "a second connection's lock of byte 99, still held");
    succeeded(first.setLock(file->nodeID, rangeLock(lock::unlock, 1, 0, 0)), "unlock of the whole file");
    succeeded(second->setLock(file->nodeID, rangeLock(lock::write, 1, 0, 0)), "a second connection's lock of the whole file");
    succeeded(second->setLock(file->nodeID, wholeFile(lock::write, 1)), "a whole-file write lock");
    succeeded(second->setLock(file->nodeID, wholeFile(lock::unlock, 1)), "its unlock");
    succeeded(first.setLock(file->nodeID, wholeFile(lock::write, 1)), "the other connection's whole-file write lock");
}

void connectionEndReleases(Context& context) {
    auto& observer = context.connection();
    requireLocks(observer);
    const auto file = makeFile(observer, context.workDirectory(), "abandoned", "");
    {
        const auto holder = context.openConnection();
        succeeded(holder->setLock(file->nodeID, rangeLock(lock::write, 1, 0, 0)), "set_lock of the whole file");
        succeeded(holder->setLock(file->nodeID, wholeFile(lock::write, 1)), "a whole-file write lock");
        failsWith(observer.setLock(file->nodeID, rangeLock(lock::write, 1, 0, 1)), darwin::eagain,
                  "another connection's lock of byte 0 while the holder is connected");
    }
    // The server learns of the end when it reads it: it is given until the kit's timeout.
    const auto deadline = std::chrono::steady_clock::now() + context.target().timeout;
    for (;;) {
        const auto ranged = observer.setLock(file->nodeID, rangeLock(lock::write, 1, 0, 1));
        if (ranged.value) break;
        if (!ranged.error || !ranged.error->isPosix(darwin::eagain) || std::chrono::steady_clock::now() > deadline) {
            fail("once the holder's connection ended, a lock of byte 0 still failed: " + failureText(ranged.error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    succeeded(observer.setLock(file->nodeID, wholeFile(lock::write, 1)),
              "a whole-file write lock once the holder's connection ended");
}

}  // namespace

void addLockChecks(std::vector<Check>& checks) {
    checks.push_back({"locks.conflicting_owners_refused",
                      "where \"locks\" is advertised, a lock that conflicts with another owner's fails with EAGAIN "
                      "(35, Darwin's number), and test_lock names the lock in the way",
                      kWritable, conflictingOwnersRefused});
    checks.push_back({"locks.unlock_releases",
                      "where \"locks\" is advertised, an unlock lets another connection take the bytes it covered "
                      "and keeps the rest",
                      kWritable, unlockReleases});
    checks.push_back({"locks.connection_end_releases",
                      "where \"locks\" is advertised, every lock a connection held is released when it ends",
                      kWritable, connectionEndReleases});
}

}  // namespace brindle::conform
