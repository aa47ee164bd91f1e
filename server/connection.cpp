#include "server/connection.h"

#include "module/rpc/framing.h"
#include "module/rpc/wire.h"
#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "server/token.h"

#include <sys/socket.h>

namespace brindle::server {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace key = wire::key;

std::shared_ptr<Connection> Connection::create(UniqueFd socket, const Dispatcher& dispatcher, WorkerPool& pool,
                                               const SessionSecrets& secrets) {
    return std::shared_ptr<Connection>(new Connection(std::move(socket), dispatcher, pool, secrets));
}

namespace {
std::atomic<uint64_t> lastConnectionID{0};
}  // namespace

Connection::Connection(UniqueFd socket, const Dispatcher& dispatcher, WorkerPool& pool, const SessionSecrets& secrets)
    : socket_(std::move(socket)), id_(++lastConnectionID), dispatcher_(dispatcher), pool_(pool), secrets_(secrets) {}

void Connection::stop() { ::shutdown(socket_.get(), SHUT_RDWR); }

void Connection::send(Reply reply, const boost::json::value* requestID) {
    if (requestID != nullptr) reply.object[key::requestID] = *requestID;
    const std::string json = foundation::json::serialize(reply.object);
    std::lock_guard lock(writeMutex_);
    if (auto error = framing::writeFramedData(json, reply.payload, socket_.get())) {
        logging::debug("orvel: server reply not sent error={}", *error);
        stop();
    }
}

bool Connection::handshake() {
    auto frame = framing::readFramedMessage(socket_.get(), nullptr);
    if (!frame) return false;
    const auto& request = frame.value().response;
    const auto* requestID = request.if_contains(key::requestID);
    const auto* method = foundation::json::stringField(request, key::method);
    if (method == nullptr || *method != wire::method::handshake) {
        send(errorReply(Error::posix(darwin::eperm, "handshake required")), requestID);
        return false;
    }
    const auto* token = foundation::json::stringField(request, key::authToken);
    const bool accepted =
        token != nullptr && constantTimeEquals(std::string_view(token->data(), token->size()), secrets_.authToken);
    if (!accepted) {
        logging::error("orvel: server handshake rejected");
        send(errorReply(Error::posix(darwin::eperm, "authentication failed")), requestID);
        return false;
    }
    Reply reply = okReply();
    reply.object[key::sessionID] = secrets_.sessionID;
    send(std::move(reply), requestID);
    return true;
}

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

}  // namespace

void Connection::serve() {
    if (!handshake()) return;
    for (;;) {
        {
            std::unique_lock lock(flightMutex_);
            flightChanged_.wait(lock, [this] { return inFlight_ < kMaxInFlight; });
            ++inFlight_;
        }
        auto frame = framing::readFramedMessage(socket_.get(), nullptr);
        if (!frame) {
            logging::debug("orvel: server connection closed error={}", frame.error());
            std::lock_guard lock(flightMutex_);
            --inFlight_;
            break;
        }
        // A quick call on an otherwise idle connection is answered here: handing it to a worker
        // would cost a thread wake-up, which is most of such a call's round trip. With other calls
        // in flight it goes to the pool, so that it neither waits for them nor holds up the next.
        bool answerHere = false;
        {
            std::lock_guard lock(flightMutex_);
            const auto& payload = frame.value().payload;
            answerHere = inFlight_ == 1 && !mayTakeLong(frame.value().response, payload ? payload->size() : 0);
        }
        if (answerHere) {
            run(std::move(frame.value().response), std::move(frame.value().payload).value_or(std::string()));
            continue;
        }
        pool_.post([self = shared_from_this(), request = std::move(frame.value().response),
                    payload = std::move(frame.value().payload).value_or(std::string())]() mutable {
            self->run(std::move(request), std::move(payload));
        });
    }
    // Replies still being computed go out before the reader reports the connection done.
    {
        std::unique_lock lock(flightMutex_);
        flightChanged_.wait(lock, [this] { return inFlight_ == 0; });
    }
    dispatcher_.connectionEnded(id_);
}

void Connection::run(boost::json::object request, std::string payload) {
    const Request decoded{request, payload, id_};
    send(dispatcher_.dispatch(decoded), request.if_contains(key::requestID));
    {
        std::lock_guard lock(flightMutex_);
        --inFlight_;
    }
    flightChanged_.notify_all();
}

}  // namespace brindle::server
