#include "sdk/cpp/transport/admission.h"

#include "platform/foundation/errno_table.h"
#include "platform/log/log.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <array>
#include <cerrno>

namespace brindle::sdk {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

// Keys 0 and 1 in the epoll data name the listener and the wake-up; connections count on from 2.
constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = 1;
// Out of descriptors, accepting waits this long before it tries again instead of spinning.
constexpr std::chrono::milliseconds kAcceptBackoff{100};

void watch(int epoll, int fd, uint64_t key) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

}  // namespace

Admission::Admission(const Listener& listener, const SessionSecrets& secrets, Limits limits, Callbacks callbacks)
    : listener_(listener),
      secrets_(secrets),
      limits_(limits),
      callbacks_(std::move(callbacks)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      nextKey_(kWakeKey + 1) {
    watch(epoll_.get(), listener_.fd(), kListenerKey);
    watch(epoll_.get(), wake_.get(), kWakeKey);
}

Admission::~Admission() = default;

void Admission::stop() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void Admission::run() {
    std::array<epoll_event, 64> events;
    for (;;) {
        const int count = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                       millisecondsToNextDeadline());
        if (count < 0 && errno != EINTR) {
            logging::error("orvel: server stops accepting: epoll_wait failed errno={}", errno);
            break;
        }
        bool stopping = false;
        for (int i = 0; i < count; ++i) {
            const uint64_t key = events[static_cast<size_t>(i)].data.u64;
            if (key == kWakeKey) {
                stopping = true;
            } else if (key == kListenerKey) {
                acceptWaiting();
            } else if (const auto found = byKey_.find(key); found != byKey_.end()) {
                // A connection dropped earlier in this batch is no longer found.
                readFrom(found->second);
            }
        }
        if (stopping) break;
        if (acceptPausedUntil_ && Clock::now() >= *acceptPausedUntil_) watchListener(true);
        dropExpired();
    }
    while (!pending_.empty()) drop(pending_.begin());
}

void Admission::acceptWaiting() {
    for (;;) {
        auto accepted = listener_.accept();
        if (!accepted) {
            logging::error("orvel: server cannot accept for now: {}", accepted.error().description());
            watchListener(false);
            return;
        }
        if (!accepted.value().valid()) return;
        if (pending_.size() >= limits_.maxPending) {
            logging::debug("orvel: server drops the oldest of {} connections without a handshake", pending_.size());
            drop(pending_.begin());
        }
        const uint64_t key = nextKey_++;
        auto added = pending_.insert(pending_.end(), Pending{PendingHandshake(std::move(accepted.value()), secrets_),
                                                             Clock::now() + limits_.deadline, key});
        byKey_.emplace(key, added);
        watch(epoll_.get(), added->handshake.fd(), key);
    }
}

void Admission::readFrom(Queue::iterator pending) {
    PendingHandshake& handshake = pending->handshake;
    switch (handshake.readAvailable()) {
    case PendingHandshake::Outcome::Incomplete:
        return;
    case PendingHandshake::Outcome::Refused:
        drop(pending);
        return;
    case PendingHandshake::Outcome::Authenticated:
        break;
    }
    if (!callbacks_.hasRoom()) {
        logging::error("orvel: server refuses a client: no room for more");
        handshake.refuse(Error::posix(darwin::eagain, "too many clients are connected"));
        drop(pending);
        return;
    }
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, handshake.fd(), nullptr);
    const bool answered = handshake.accept();
    UniqueFd socket = handshake.takeSocket();
    byKey_.erase(pending->key);
    pending_.erase(pending);
    if (!answered) return;
    ::fcntl(socket.get(), F_SETFL, ::fcntl(socket.get(), F_GETFL) & ~O_NONBLOCK);
    callbacks_.admit(std::move(socket));
}

void Admission::drop(Queue::iterator pending) {
    byKey_.erase(pending->key);
    pending_.erase(pending);  // closing the socket also takes it out of the epoll set
}

void Admission::dropExpired() {
    const auto now = Clock::now();
    while (!pending_.empty() && pending_.front().deadline <= now) {
        logging::debug("orvel: server closes a connection that sent no handshake in time");
        drop(pending_.begin());
    }
}

int Admission::millisecondsToNextDeadline() const {
    std::optional<Clock::time_point> next;
    if (!pending_.empty()) next = pending_.front().deadline;
    if (acceptPausedUntil_ && (!next || *acceptPausedUntil_ < *next)) next = acceptPausedUntil_;
    if (!next) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    return wait.count() > 0 ? static_cast<int>(wait.count()) : 0;
}

void Admission::watchListener(bool watching) {
    epoll_event event{};
    event.events = watching ? uint32_t{EPOLLIN} : 0u;
    event.data.u64 = kListenerKey;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listener_.fd(), &event);
    if (watching) {
        acceptPausedUntil_.reset();
    } else {
        acceptPausedUntil_ = Clock::now() + kAcceptBackoff;
    }
}

}  // namespace brindle::sdk
