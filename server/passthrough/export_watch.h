#pragma once

#include "brindle/backend.h"
#include "brindle/unique_fd.h"

#include <sys/inotify.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace brindle::passthrough {

using sdk::NodeId;
using sdk::UniqueFd;

// Watches, through inotify, the export's directories whose node ids were handed out, and tells
// clients of every change made there that no request of the server made. Its own thread reads the
// events: the SDK's workers never wait for it, and it needs nothing from the transport.
//
// The server's own changes raise events too. Each is noted just before it is made, with the
// connection it is made for, and the event that matches a note is told to every other connection
// only. Names that appear and go (create, remove, rename) are counted one event per note: the
// kernel never folds two such events into one, as an event of the other kind or another rename
// cookie always lies between two of the same name, so an outside change to the same name at the
// same moment raises an event of its own, which no note is left to match. Writes and attribute
// changes of one file do fold; for those the note keeps the change time the server's own change
// left, and an event is the server's own only while the file still shows that time. The kernel
// gives a change after a read of the time a newer one, so an outside change at the same moment
// shows. When in doubt (no time read, the file not found) the event is told to everyone.
class ExportWatch {
public:
    using Clock = std::chrono::steady_clock;
    // What the watch needs of the file system: the change time of a directory's entry, and its
    // node where one was handed out.
    struct Child {
        std::optional<NodeId> node;
        statx_timestamp changeTime;
    };
    using ChildLookup = std::function<std::optional<Child>(NodeId directory, const std::string& name)>;

    // A change the server is about to make; the event it raises is not told to its connection.
    // Gone without made(), it was not made: the note goes.
    class OwnChange {
    public:
        OwnChange() = default;
        OwnChange(OwnChange&& other) noexcept;
        OwnChange& operator=(OwnChange&&) = delete;
        ~OwnChange();
        void made();
        // A write or an attribute change: the object's change time after it.
        void made(const statx_timestamp& changeTime);

    private:
        friend class ExportWatch;
        OwnChange(ExportWatch* watch, uint64_t note) : watch_(watch), note_(note) {}
        ExportWatch* watch_ = nullptr;
        uint64_t note_ = 0;
    };

    // The notes of one change of an object, which raises events on its directory and, for a
    // directory, on its own watch.
    struct OwnChanges {
        std::vector<OwnChange> notes;
        void made(const statx_timestamp& changeTime) {
            for (auto& note : notes) note.made(changeTime);
        }
    };

    // None, with the reason logged, when the kernel gives no inotify instance or the root cannot
    // be watched.
    static std::unique_ptr<ExportWatch> open(int rootFD, ChildLookup childLookup);
    ~ExportWatch();
    ExportWatch(const ExportWatch&) = delete;
    ExportWatch& operator=(const ExportWatch&) = delete;

    void start(sdk::OutsideChanges& changes);
    void stop();

    // Watches the directory `name` in `parentFD`, which is `node`, unless it is watched already.
    void watchDirectory(NodeId node, int parentFD, const std::string& name);
    // Stops watching the directory whose node went; a watch that passed to a newer node stays.
    void unwatchDirectory(NodeId node);

    // Notes for `connection` a name about to appear in `directory`, go from it, or be renamed.
    OwnChange appears(uint64_t connection, NodeId directory, const std::string& name);
    OwnChange goes(uint64_t connection, NodeId directory, const std::string& name);
    OwnChange movesFrom(uint64_t connection, NodeId directory, const std::string& name);
    OwnChange movesTo(uint64_t connection, NodeId directory, const std::string& name);
    // The object seen as `name` in `directory` (empty: the directory itself) about to be written
    // (contents) or changed otherwise (attributes, extended attributes).
    OwnChange writes(uint64_t connection, NodeId directory, const std::string& name);
    OwnChange changesAttributes(uint64_t connection, NodeId directory, const std::string& name);

private:
    struct Note {
        uint64_t connection;
        Clock::time_point due;
        bool made = false;
        std::optional<statx_timestamp> changeTime;
    };
    using Key = std::tuple<NodeId, std::string, uint32_t>;

    ExportWatch(UniqueFd inotify, UniqueFd wake, ChildLookup childLookup);
    OwnChange note(uint64_t connection, NodeId directory, const std::string& name, uint32_t mask);
    void settle(uint64_t note, const std::optional<statx_timestamp>& changeTime);
    void forget(uint64_t note);
    // Drops a note that is still kept; false when it went already.
    bool dropLocked(uint64_t note);
    void run();
    void handle(const inotify_event& event);
    // The connection that made the change the event tells of, if the server made it.
    // `child` looks the object up once, however often it is asked.
    std::optional<uint64_t> ownerOf(NodeId directory, const std::string& name, uint32_t mask,
                                    const std::function<const std::optional<Child>&()>& child);
    void pruneDue();

    const UniqueFd inotify_;
    const UniqueFd wake_;  // an eventfd that ends the thread's wait
    const ChildLookup childLookup_;
    sdk::OutsideChanges* changes_ = nullptr;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable settled_;
    std::unordered_map<int, NodeId> nodeOfWatch_;
    std::unordered_map<NodeId, int> watchOfNode_;
    bool atLimit_ = false;  // the kernel refused a watch: everything counts as changed, each second
    uint64_t lastNote_ = 0;
    std::map<Key, std::map<uint64_t, Note>> notes_;
    std::unordered_map<uint64_t, Key> keyOfNote_;
    // Every note in the order it falls due, which is the order it was made; a note that went
    // earlier is skipped when its turn comes. Pruning walks only what fell due, not every note.
    std::deque<std::pair<Clock::time_point, uint64_t>> dueOrder_;
};

}  // namespace brindle::passthrough
