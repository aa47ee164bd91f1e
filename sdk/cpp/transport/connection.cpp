#include "sdk/cpp/transport/connection.h"

#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "sdk/cpp/transport/request_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <thread>

namespace brindle::sdk {

namespace key = wire::key;

std::shared_ptr<Connection> Connection::create(UniqueFd socket, uint64_t id, Dispatcher& dispatcher,
                                               WorkerPool& pool, std::chrono::milliseconds stallDeadline) {
    return std::shared_ptr<Connection>(new Connection(std::move(socket), id, dispatcher, pool, stallDeadline));
}

Connection::Connection(UniqueFd socket, uint64_t id, Dispatcher& dispatcher, WorkerPool& pool,
                       std::chrono::milliseconds stallDeadline)
    : socket_(std::move(socket)), id_(id), dispatcher_(dispatcher), pool_(pool), outbox_(socket_.get(), stallDeadline) {}

void Connection::stop() { outbox_.close(); }

namespace {

// Up to this many bytes a read or write costs about what a metadata call does.
constexpr uint64_t kQuickTransfer = 64 * 1024;

// Large transfers and flushes of the export may take long; everything else is a few system calls.
bool mayTakeLong(const boost::json::object& request, size_t payloadSize) {
    const auto* method = foundation::json::stringField(request, key::method);
    if (method == nullptr || *method == wire::method::synchronize) return true;
    if (*method == wire::method::write) return payloadSize > kQuickTransfer;
    if (*method == wire::method::read) {
        const auto length = foundation::json::uint64Field(request, key::length);
        return !length || *length > kQuickTransfer;
    }
    return false;
}

// Closing takes the server a system call or two: such a request is answered by the reader even
// with the next request read already, since a worker's wake-up would cost more than the close.
// A client sends a close together with its next request, to save a wake-up at each end.
bool isBrief(std::string_view method) { return method == wire::method::close || method == wire::method::closeDirectory; }

// What a request's reply may take in the outbox beyond its JSON: a read's data, at most one frame.
constexpr uint64_t kMaxFrame = 16u * 1024u * 1024u;

size_t replyBytesAhead(const boost::json::object& request) {
    const auto* method = foundation::json::stringField(request, key::method);
    if (method == nullptr || *method != wire::method::read) return 0;
    const auto length = foundation::json::uint64Field(request, key::length);
    return static_cast<size_t>(std::min<uint64_t>(length.value_or(0), kMaxFrame));
}

}  // namespace

void Connection::serve() {
    std::thread writer([this] { outbox_.runWriter(); });
    readRequests();
    // No more requests come: a held one is answered now rather than when its wait runs out.
    dispatcher_.releaseHeld(id_);
    {
        std::unique_lock lock(flightMutex_);
        flightChanged_.wait(lock, [this] { return inFlight_ == 0; });
    }
    // Replies already computed still go out, unless the client stalls on them too.
    outbox_.finish();
    writer.join();
    outbox_.close();
    dispatcher_.connectionEnded(id_);
}

void Connection::readRequests() {
    RequestReader reader(socket_.get());
    for (;;) {
        // A client that leaves its replies untaken gets no more work done for it.
        // One largest read beyond the bound is let through, so that a small call can still
        // overtake it.
        if (!outbox_.waitForRoom(kMaxQueuedBytes + kMaxFrame)) return;
        {
            std::unique_lock lock(flightMutex_);
            flightChanged_.wait(lock, [this] { return inFlight_ < kMaxInFlight; });
            ++inFlight_;
        }
        auto frame = reader.next();
        if (!frame) {
            logging::debug("orvel: server connection closed error={}", frame.error());
            std::lock_guard lock(flightMutex_);
            --inFlight_;
            return;
        }
        // A held request takes no worker: it is answered later by whoever has its answer.
        const auto* method = foundation::json::stringField(frame.value().response, key::method);
        if (method != nullptr && Dispatcher::isHeld(*method)) {
            outbox_.sendHeld();
            hold(std::move(frame.value().response), std::move(frame.value().payload).value_or(std::string()));
            continue;
        }
        // A quick call on an otherwise idle connection is answered here: handing it to a worker
        // would cost a thread wake-up, which is most of such a call's round trip. With other calls
        // being worked on, or the next one already read, it goes to the pool, so that it neither
        // waits for them nor holds up the next (a brief one holds up nobody). Held calls wait for
        // a change, so they do not count.
        bool answerHere = false;
        {
            std::lock_guard lock(flightMutex_);
            const auto& payload = frame.value().payload;
            answerHere = inFlight_ - held_ == 1 && (!reader.hasBuffered() || (method != nullptr && isBrief(*method))) &&
                         !mayTakeLong(frame.value().response, payload ? payload->size() : 0);
        }
        // Reads in flight count against the reply bound, so that a client that pipelines large
        // reads and takes none of their replies holds the server to about the bound, not to
        // every read's data at once.
        const size_t reserved = replyBytesAhead(frame.value().response);
        outbox_.reserve(reserved);
        // A reply is held only while the next request is here whole: the loop comes straight back
        // to it, and either answers it here, which sends both, or sends the held reply first.
        if (answerHere) {
            run(std::move(frame.value().response), std::move(frame.value().payload).value_or(std::string()), reserved,
                reader.hasWholeFrame() ? Outbox::Send::withNext : Outbox::Send::now);
            continue;
        }
        outbox_.sendHeld();
        pool_.post(id_, [self = shared_from_this(), request = std::move(frame.value().response),
                    payload = std::move(frame.value().payload).value_or(std::string()), reserved]() mutable {
            self->run(std::move(request), std::move(payload), reserved);
        });
    }
}

void Connection::run(boost::json::object request, std::string payload, size_t reserved, Outbox::Send send) {
    answer(request.if_contains(key::requestID), dispatcher_.dispatch(Request{request, payload, id_}), reserved, send);
}

void Connection::hold(boost::json::object request, std::string payload) {
    std::optional<boost::json::value> requestID;
    if (const auto* id = request.if_contains(key::requestID)) requestID = *id;
    {
        std::lock_guard lock(flightMutex_);
        ++held_;
    }
    dispatcher_.waitForChanges(Request{request, payload, id_},
                               [self = shared_from_this(), requestID = std::move(requestID)](Reply reply) {
                                   {
                                       std::lock_guard lock(self->flightMutex_);
                                       --self->held_;
                                   }
                                   self->answer(requestID ? &*requestID : nullptr, std::move(reply), 0);
                               });
}

void Connection::answer(const boost::json::value* requestID, Reply reply, size_t reserved, Outbox::Send send) {
    if (requestID != nullptr) reply.object[key::requestID] = *requestID;
    // The object itself: passed as a value it would be copied, every key allocated again.
    outbox_.push(boost::json::serialize(reply.object), std::move(reply.payload), reserved, send);
    {
        std::lock_guard lock(flightMutex_);
        --inFlight_;
    }
    flightChanged_.notify_all();
}

}  // namespace brindle::sdk
