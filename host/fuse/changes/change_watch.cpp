#include "host/fuse/changes/change_watch.h"

#include "host/fuse/translation/error_text.h"
#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"

#include <condition_variable>
#include <mutex>
#include <optional>

namespace brindle::host {

using namespace std::chrono_literals;

namespace {

// How long a connection that tells no changes, or whose call failed, is left before it is asked again.
constexpr auto retryPause = 1s;
// Beyond its wait, how long a call may go unanswered before it counts as lost: a server that
// holds it longer than it may would otherwise leave the mount's caches unwatched.
constexpr auto answerSlack = 10s;

}  // namespace

// Shared with the completions of the calls, which may come after the watch is gone.
struct ChangeWatch::State {
    struct Outcome {
        std::optional<ChangeNotice> notice;
        std::optional<foundation::Error> error;
    };
    std::mutex mutex;
    std::condition_variable changed;
    bool stopped = false;
    uint64_t callNumber = 0;
    std::optional<Outcome> outcome;  // of call `callNumber`
};

ChangeWatch::ChangeWatch(std::shared_ptr<OperationContext> context, std::chrono::milliseconds wait)
    : context_(std::move(context)), wait_(wait), state_(std::make_shared<State>()), thread_([this] { run(); }) {}

ChangeWatch::~ChangeWatch() { stop(); }

void ChangeWatch::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
    }
    state_->changed.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool ChangeWatch::pause(std::chrono::milliseconds length) {
    std::unique_lock lock(state_->mutex);
    return !state_->changed.wait_for(lock, length, [this] { return state_->stopped; });
}

void ChangeWatch::run() {
    uint64_t watched = 0;  // the generation whose changes are being told
    for (;;) {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->stopped) return;
        }
        const auto generation = context_->volume.connected(CurrentVolume::Clock::now() + retryPause);
        if (!generation) {
            if (!pause(100ms)) return;
            continue;
        }
        const auto client = generation->volume->rpcClient();
        if (!client->serverSupports(wire::extension::changeNotices)) {
            if (!pause(retryPause)) return;
            continue;
        }
        if (watched != 0 && watched != generation->number) forgetEverything();
        watched = generation->number;

        uint64_t call = 0;
        {
            std::lock_guard lock(state_->mutex);
            call = ++state_->callNumber;
            state_->outcome.reset();
        }
        client->waitForChanges(static_cast<uint32_t>(wait_.count()),
                               [state = state_, call](std::optional<ChangeNotice> notice,
                                                      std::optional<foundation::Error> error) {
                                   {
                                       std::lock_guard lock(state->mutex);
                                       if (state->callNumber != call) return;
                                       state->outcome = State::Outcome{std::move(notice), std::move(error)};
                                   }
                                   state->changed.notify_all();
                               });
        State::Outcome outcome;
        {
            std::unique_lock lock(state_->mutex);
            const bool settled = state_->changed.wait_for(
                lock, wait_ + answerSlack, [this] { return state_->stopped || state_->outcome.has_value(); });
            if (state_->stopped) return;
            outcome = settled ? std::move(*state_->outcome)
                              : State::Outcome{std::nullopt, foundation::Error::posix(foundation::darwin::etimedout,
                                                                                     "no answer in time")};
        }
        if (outcome.notice) {
            apply(*outcome.notice, *generation);
            continue;
        }
        // A lost connection is the reconnect's to mend; anything else left changes untold.
        if (client->isConnected()) {
            logging::error("orvel: change notices failed: {}",
                           errorText(outcome.error.value_or(foundation::Error::posix(foundation::darwin::eio))));
            forgetEverything();
        }
        if (!pause(retryPause)) return;
    }
}

void ChangeWatch::apply(const ChangeNotice& notice, const VolumeGeneration& generation) {
    auto& notices = *context_->notices;
    if (notice.everything || generation.number != context_->inodes.generation()) {
        forgetEverything();
        return;
    }
    // What a change's reply brought goes before the kernel is told, so its next fetch reaches the server.
    const auto forgetInode = [&](uint64_t inode) {
        generation.volume->dropChangedAttributesOfNodeID(context_->inodes.nodeIDForInode(inode));
        notices.forgetInodeLater(inode);
    };
    for (const auto& [parent, name] : notice.entries) {
        generation.volume->dropChangedAttributesOfNodeID(parent);
        // A first batch kept for a listing not read yet predates the change.
        generation.volume->invalidateDirectoryEnumerationForNodeID(parent);
        const auto inode = context_->inodes.boundInodeForNodeID(parent);
        if (!inode) continue;
        notices.forgetEntryLater(*inode, name);
        // The object that had the name was removed, moved or replaced: its link count and change
        // time moved too, which a descriptor still open on it shows.
        if (const auto named = context_->inodes.inodeNamed(*inode, name)) forgetInode(*named);
    }
    for (const uint64_t node : notice.nodes) {
        generation.volume->dropChangedAttributesOfNodeID(node);
        if (const auto inode = context_->inodes.boundInodeForNodeID(node)) notices.forgetInodeLater(*inode);
    }
}

void ChangeWatch::forgetEverything() {
    logging::debug("orvel: change notices: dropping every cached entry and inode");
    context_->forgetEverythingCached();
}

}  // namespace brindle::host
