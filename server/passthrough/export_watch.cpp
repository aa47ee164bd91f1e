#include "server/passthrough/export_watch.h"

#include "platform/log/log.h"
#include "server/passthrough/file_system.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace brindle::passthrough {

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kObjectEvents = IN_MODIFY | IN_ATTRIB;
constexpr uint32_t kWatched = kEntryEvents | kObjectEvents | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// Long enough for an event to be read on a loaded machine; a note outliving it only costs its
// connection one notice of its own change.
constexpr auto kNoteLife = 2s;
// How long an event waits for the change time of the server's own change it may be, which
// follows the change at once.
constexpr auto kSettleWait = 100ms;
// How often clients drop everything where the kernel refused a watch.
constexpr auto kUnwatchedPeriod = 1s;
// How long the thread lets events gather after it read some. A busy client raises an event with
// each create; read one at a time, each cost this thread a wake-up, one more per request than
// the request itself costs. A change after a quiet spell is still read at once.
constexpr int kGatherMilliseconds = 2;

bool sameTime(const statx_timestamp& a, const statx_timestamp& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

ExportWatch::OwnChange::OwnChange(OwnChange&& other) noexcept : watch_(other.watch_), note_(other.note_) {
    other.watch_ = nullptr;
}

ExportWatch::OwnChange::~OwnChange() {
    if (watch_) watch_->forget(note_);
}

void ExportWatch::OwnChange::made() {
    if (watch_) watch_->settle(note_, std::nullopt);
    watch_ = nullptr;
}

void ExportWatch::OwnChange::made(const statx_timestamp& changeTime) {
    if (watch_) watch_->settle(note_, changeTime);
    watch_ = nullptr;
}

std::unique_ptr<ExportWatch> ExportWatch::open(int rootFD, ChildLookup childLookup) {
    const int inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify < 0) {
        logging::error("orvel: server: cannot watch the export ({}); clients see changes made on it directly "
                       "only when their caches expire", std::strerror(errno));
        return nullptr;
    }
    UniqueFd watchFD(inotify);
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        logging::error("orvel: server: cannot watch the export: eventfd: {}", std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<ExportWatch> watch(new ExportWatch(std::move(watchFD), UniqueFd(wake), std::move(childLookup)));
    const int root = ::inotify_add_watch(inotify, descriptorPath(rootFD).c_str(), kWatched & ~IN_DONT_FOLLOW);
    if (root < 0) {
        logging::error("orvel: server: cannot watch the export's root: {}", std::strerror(errno));
        return nullptr;
    }
    watch->nodeOfWatch_[root] = sdk::kRootNode;
    watch->watchOfNode_[sdk::kRootNode] = root;
    return watch;
}

ExportWatch::ExportWatch(UniqueFd inotify, UniqueFd wake, ChildLookup childLookup)
    : inotify_(std::move(inotify)), wake_(std::move(wake)), childLookup_(std::move(childLookup)) {}

ExportWatch::~ExportWatch() { stop(); }

void ExportWatch::start(sdk::OutsideChanges& changes) {
    changes_ = &changes;
    thread_ = std::thread([this] { run(); });
}

void ExportWatch::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
    changes_ = nullptr;
}

void ExportWatch::watchDirectory(NodeId node, int parentFD, const std::string& name) {
    std::lock_guard lock(mutex_);
    if (watchOfNode_.contains(node) || atLimit_) return;
    const std::string path = descriptorPath(parentFD) + "/" + name;
    const int watch = ::inotify_add_watch(inotify_.get(), path.c_str(), kWatched);
    if (watch < 0) {
        if (errno == ENOSPC || errno == ENOMEM) {
            atLimit_ = true;
            logging::error("orvel: server: the kernel's inotify watch limit is reached ({} directories watched; "
                           "fs.inotify.max_user_watches): from now on clients are told each second that "
                           "everything may have changed", watchOfNode_.size());
        }
        return;
    }
    // One inode has one watch: a number already given to another node now watches this one.
    if (const auto earlier = nodeOfWatch_.find(watch); earlier != nodeOfWatch_.end()) watchOfNode_.erase(earlier->second);
    nodeOfWatch_[watch] = node;
    watchOfNode_[node] = watch;
}

void ExportWatch::unwatchDirectory(NodeId node) {
    if (node == sdk::kRootNode) return;
    std::lock_guard lock(mutex_);
    const auto found = watchOfNode_.find(node);
    if (found == watchOfNode_.end()) return;
    ::inotify_rm_watch(inotify_.get(), found->second);
    nodeOfWatch_.erase(found->second);
    watchOfNode_.erase(found);
}

ExportWatch::OwnChange ExportWatch::appears(uint64_t connection, NodeId directory, const std::string& name) {
    return note(connection, directory, name, IN_CREATE);
}
ExportWatch::OwnChange ExportWatch::goes(uint64_t connection, NodeId directory, const std::string& name) {
    return note(connection, directory, name, IN_DELETE);
}
ExportWatch::OwnChange ExportWatch::movesFrom(uint64_t connection, NodeId directory, const std::string& name) {
    return note(connection, directory, name, IN_MOVED_FROM);
}
ExportWatch::OwnChange ExportWatch::movesTo(uint64_t connection, NodeId directory, const std::string& name) {
    return note(connection, directory, name, IN_MOVED_TO);
}
ExportWatch::OwnChange ExportWatch::writes(uint64_t connection, NodeId directory, const std::string& name) {
    return note(connection, directory, name, IN_MODIFY);
}
ExportWatch::OwnChange ExportWatch::changesAttributes(uint64_t connection, NodeId directory, const std::string& name) {
    return note(connection, directory, name, IN_ATTRIB);
}

ExportWatch::OwnChange ExportWatch::note(uint64_t connection, NodeId directory, const std::string& name, uint32_t mask) {
    std::lock_guard lock(mutex_);
    Key key{directory, name, mask};
    auto& notes = notes_[key];
    // Of a file's writes only the newest settled one is compared with, so the older ones go.
    if (mask & kObjectEvents) {
        std::erase_if(notes, [&](const auto& entry) {
            if (!entry.second.made) return false;
            keyOfNote_.erase(entry.first);
            return true;
        });
    }
    const uint64_t id = ++lastNote_;
    const auto due = Clock::now() + kNoteLife;
    notes.emplace(id, Note{connection, due});
    keyOfNote_.emplace(id, std::move(key));
    dueOrder_.emplace_back(due, id);
    return OwnChange(this, id);
}

void ExportWatch::settle(uint64_t note, const std::optional<statx_timestamp>& changeTime) {
    {
        std::lock_guard lock(mutex_);
        const auto key = keyOfNote_.find(note);
        if (key == keyOfNote_.end()) return;
        auto& found = notes_[key->second].at(note);
        found.made = true;
        found.changeTime = changeTime;
    }
    settled_.notify_all();
}

void ExportWatch::forget(uint64_t note) {
    {
        std::lock_guard lock(mutex_);
        if (!dropLocked(note)) return;
    }
    settled_.notify_all();
}

bool ExportWatch::dropLocked(uint64_t note) {
    const auto key = keyOfNote_.find(note);
    if (key == keyOfNote_.end()) return false;
    const auto notes = notes_.find(key->second);
    notes->second.erase(note);
    if (notes->second.empty()) notes_.erase(notes);
    keyOfNote_.erase(key);
    return true;
}

void ExportWatch::pruneDue() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    while (!dueOrder_.empty() && dueOrder_.front().first <= now) {
        dropLocked(dueOrder_.front().second);
        dueOrder_.pop_front();
    }
    if (notes_.empty()) dueOrder_.clear();
}

std::optional<uint64_t> ExportWatch::ownerOf(NodeId directory, const std::string& name, uint32_t mask,
                                             const std::function<const std::optional<Child>&()>& child) {
    std::unique_lock lock(mutex_);
    const auto notes = notes_.find(Key{directory, name, mask});
    if (notes == notes_.end() || notes->second.empty()) return std::nullopt;
    if (mask & kEntryEvents) {
        // One note per event, the oldest first: the kernel never folds two of these.
        const auto oldest = notes->second.begin();
        const uint64_t connection = oldest->second.connection;
        keyOfNote_.erase(oldest->first);
        notes->second.erase(oldest);
        if (notes->second.empty()) notes_.erase(notes);
        return connection;
    }
    const uint64_t newest = notes->second.rbegin()->first;
    const auto settledNote = [&]() -> const Note* {
        const auto still = notes_.find(Key{directory, name, mask});
        if (still == notes_.end()) return nullptr;
        const auto found = still->second.find(newest);
        return found == still->second.end() ? nullptr : &found->second;
    };
    settled_.wait_for(lock, kSettleWait, [&] {
        const Note* note = settledNote();
        return note == nullptr || note->made;
    });
    const Note* note = settledNote();
    if (note == nullptr || !note->made || !note->changeTime) return std::nullopt;
    const Note kept = *note;
    lock.unlock();
    const auto& found = child();
    if (!found || !sameTime(found->changeTime, *kept.changeTime)) return std::nullopt;
    return kept.connection;
}

void ExportWatch::run() {
    alignas(struct inotify_event) std::array<char, 64 * 1024> buffer;
    auto nextUnwatched = Clock::now() + kUnwatchedPeriod;
    for (;;) {
        std::array<pollfd, 2> waits{{{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
        bool timed = false;
        {
            std::lock_guard lock(mutex_);
            timed = atLimit_ || !notes_.empty();
        }
        const int ready = ::poll(waits.data(), waits.size(), timed ? 1000 : -1);
        if (ready < 0 && errno != EINTR) {
            logging::error("orvel: server: the export watch stops: poll: {}", std::strerror(errno));
            changes_->everythingChanged();
            return;
        }
        if (waits[1].revents != 0) return;
        pruneDue();
        bool atLimit = false;
        {
            std::lock_guard lock(mutex_);
            atLimit = atLimit_;
        }
        if (atLimit && Clock::now() >= nextUnwatched) {
            if (changes_->listened()) changes_->everythingChanged();
            nextUnwatched = Clock::now() + kUnwatchedPeriod;
        }
        if (waits[0].revents == 0) continue;
        const ssize_t got = ::read(inotify_.get(), buffer.data(), buffer.size());
        if (got <= 0) continue;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer.data() + at);
            handle(*event);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
        pollfd stopping{wake_.get(), POLLIN, 0};
        if (::poll(&stopping, 1, kGatherMilliseconds) > 0) return;
    }
}

void ExportWatch::handle(const struct inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
        logging::info("orvel: server: the export's events overflowed the kernel's queue: clients drop everything");
        changes_->everythingChanged();
        return;
    }
    NodeId directory = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = nodeOfWatch_.find(event.wd);
        if (found == nodeOfWatch_.end()) return;
        directory = found->second;
        if (event.mask & IN_IGNORED) {
            watchOfNode_.erase(directory);
            nodeOfWatch_.erase(found);
            return;
        }
    }
    const std::string name = event.len > 0 ? std::string(event.name) : std::string();
    const uint32_t mask = event.mask & (kEntryEvents | kObjectEvents);
    sdk::OutsideChange change;
    std::optional<uint64_t> owner;
    std::optional<std::optional<Child>> lookedUp;
    const auto child = [&]() -> const std::optional<Child>& {
        if (!lookedUp) lookedUp.emplace(childLookup_(directory, name));
        return *lookedUp;
    };
    if (mask & kEntryEvents) {
        owner = ownerOf(directory, name, mask, child);
        if (!changes_->listened()) return;
        change.nodes.push_back(directory);
        change.entries.push_back({directory, name});
    } else if (mask & kObjectEvents) {
        if (!changes_->listened()) return;
        owner = ownerOf(directory, name, mask, child);
        if (name.empty()) {
            change.nodes.push_back(directory);
        } else if (const auto& found = child(); found && found->node) {
            change.nodes.push_back(*found->node);
        } else {
            // Gone or never handed out: whoever knows the name looks it up again.
            change.entries.push_back({directory, name});
        }
    } else {
        return;
    }
    changes_->changed(change, owner);
}

}  // namespace brindle::passthrough
