#include "conform/check.h"
#include "conform/expect.h"
#include "conform/fixtures.h"
#include "protocol/extensions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace brindle::conform {

namespace {

using Clock = std::chrono::steady_clock;

// How long a notice may take; far above what a server that tells at once needs.
constexpr uint32_t kNoticeWaitMs = 2000;

void requireAdvertised(Connection& connection) {
    if (!connection.advertises(wire::extension::changeNotices)) skip("the server does not advertise change_notices");
}

bool names(const ChangeNotice& notice, uint64_t parent, const std::string& name) {
    return std::ranges::count(notice.entries, std::pair<uint64_t, std::string>(parent, name)) > 0;
}

// Whether the watcher is told of `name` in `parent` (or that everything changed) within the bound.
// Notices of other changes may come first: one the server could not match to the change a
// connection made itself is told to that connection too, and may come late on a busy machine.
bool toldWithinBound(Connection& watcher, uint64_t parent, const std::string& name, const std::string& what) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNoticeWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        const auto told = succeeded(watcher.waitForChanges(static_cast<uint32_t>(left)), what);
        if (told.everything || names(told, parent, name)) return true;
    }
}

void otherConnectionTold(Context& context) {
    auto& watcher = context.connection();
    requireAdvertised(watcher);
    const uint64_t directory = context.workDirectory();
    auto changer = context.openConnection();
    // The first call makes each connection one the server keeps changes for; what came before is dropped.
    succeeded(watcher.waitForChanges(0), "wait_for_changes with a wait of 0");
    succeeded(changer->waitForChanges(0), "wait_for_changes with a wait of 0 on a second connection");

    succeeded(changer->createFile(directory, "told"), "create_file on a second connection");
    require(toldWithinBound(watcher, directory, "told", "wait_for_changes after another's create_file"),
            "a file that another connection made is not among the changed entries within " +
                std::to_string(kNoticeWaitMs) + " ms");

    const auto own = succeeded(changer->waitForChanges(0), "wait_for_changes on the connection that made the file");
    require(!names(own, directory, "told"), "a connection is told of the file it made itself");
}

void emptyAfterWait(Context& context) {
    auto& watcher = context.connection();
    requireAdvertised(watcher);
    succeeded(watcher.waitForChanges(0), "wait_for_changes with a wait of 0");
    // What earlier checks changed may still be on its way (a server's watch of its export can
    // report late on a busy machine): drained until a short wait comes back empty.
    for (int drain = 0; drain < 10; ++drain) {
        const auto late = succeeded(watcher.waitForChanges(100), "wait_for_changes draining earlier changes");
        if (!late.everything && late.nodes.empty() && late.entries.empty()) break;
    }
    constexpr uint32_t waitMs = 300;
    const auto started = Clock::now();
    const auto quiet = succeeded(watcher.waitForChanges(waitMs), "wait_for_changes with nothing changing");
    const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    require(!quiet.everything && quiet.nodes.empty() && quiet.entries.empty(),
            "wait_for_changes names changes where nothing changed");
    // Some slack for timers that fire early by a tick.
    require(held.count() >= waitMs - 50, "wait_for_changes with nothing pending answered after " +
                                             std::to_string(held.count()) + " ms, before its wait of " +
                                             std::to_string(waitMs) + " ms");
}

// A promise about change notices means nothing without them: a client would keep its caches long
// and never be told.
void exportWatchedWithNotices(Context& context) {
    auto& connection = context.connection();
    if (!connection.advertises(wire::extension::exportWatched)) skip("the server does not advertise export_watched");
    require(connection.advertises(wire::extension::changeNotices),
            "the server advertises export_watched without change_notices");
}

void exportChangeTold(Context& context) {
    auto& watcher = context.connection();
    requireAdvertised(watcher);
    if (!watcher.advertises(wire::extension::exportWatched)) skip("the server does not advertise export_watched");
    const auto onExport = context.workDirectoryOnExport();
    if (!onExport) skip("the kit was not given the export (--export DIR)");
    const uint64_t directory = context.workDirectory();
    succeeded(watcher.waitForChanges(0), "wait_for_changes with a wait of 0");
    const std::string made = *onExport + "/made on the export";
    const int fd = ::open(made.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    require(fd >= 0, "cannot create " + made + ": " + std::strerror(errno) + " (is --export the server's directory?)");
    ::close(fd);
    require(toldWithinBound(watcher, directory, "made on the export", "wait_for_changes after a create on the export"),
            "a file made directly on the export is not told within " + std::to_string(kNoticeWaitMs) + " ms");
}

}  // namespace

void addChangeNoticeChecks(std::vector<Check>& checks) {
    checks.push_back({"changes.other_connection_told",
                      "a file made through another connection is told to a connection that waits for changes, "
                      "and not to the one that made it",
                      kWritable, otherConnectionTold});
    checks.push_back({"changes.empty_after_wait",
                      "wait_for_changes with nothing changing is held for its wait and answered with no changes",
                      kAnyServer, emptyAfterWait});
    checks.push_back({"changes.export_watched_with_notices",
                      "where `export_watched` is advertised, `change_notices` is advertised too",
                      kAnyServer, exportWatchedWithNotices});
    checks.push_back({"changes.export_change_told",
                      "where `export_watched` is advertised and the kit is given the export: a file made there "
                      "directly is told to a connection that waits for changes",
                      kWritable, exportChangeTold});
}

}  // namespace brindle::conform
