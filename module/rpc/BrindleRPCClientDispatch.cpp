#include "module/rpc/BrindleRPCClient.h"
#include "module/rpc/BrindleRPCClientStateLock.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/framing.h"
#include "protocol/wire.h"

#include <boost/container/small_vector.hpp>

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

// Set on every socket's reader. A reader never waits to write to a socket: blocked in a write, it
// could not read the replies that a server, itself blocked writing them, waits to get rid of.
// That holds for a completion that the reader runs and that submits a request, to any client.
thread_local bool onReaderThread = false;

// How long a close may wait for a next request to go out with.
constexpr std::chrono::microseconds kHoldForCompany{1000};

// Nobody waits for a close's answer (the kernel does not wait for a release), so a close may wait
// for the next request and go out in the same write: the server then wakes once for both and
// answers both together, which saves a wake-up at each end.
bool waitsForCompany(const boost::json::object& request) {
    const auto* method = foundation::json::stringField(request, wire::key::method);
    return method != nullptr && *method == wire::method::close;
}

}  // namespace

void BrindleRPCClient::performRequest(boost::json::object request, std::optional<std::string> payload,
                                      std::shared_ptr<const void> directReadIntoOwner, void* buffer, uint64_t capacity,
                                      ResponseHandler completion) {
    auto outbound = std::make_shared<BrindleRPCOutboundRequest>();
    outbound->payload = std::move(request);
    if (payload) outbound->binaryPayload = std::make_shared<const std::string>(std::move(*payload));
    outbound->handler = watchChanges(outbound->payload, std::move(completion));
    outbound->directReadOwner = std::move(directReadIntoOwner);
    outbound->directReadBuffer = buffer;
    outbound->directReadCapacity = capacity;
    StateLock lock(*this);
    submitLocked(std::move(outbound));
}

void BrindleRPCClient::performRequest(boost::json::object request, std::optional<std::string> payload,
                                      ResponseHandler completion) {
    performRequest(std::move(request), std::move(payload), nullptr, nullptr, 0, std::move(completion));
}

void BrindleRPCClient::performRequest(boost::json::object request, ResponseOnlyHandler completion) {
    performRequest(std::move(request), std::nullopt, nullptr, nullptr, 0,
                   [completion = std::move(completion)](std::optional<boost::json::object> response,
                                                        std::optional<std::string>, std::optional<Error> error) {
                       if (completion) completion(std::move(response), std::move(error));
                   });
}

void BrindleRPCClient::performRequest(boost::json::object request, std::shared_ptr<const void> directReadIntoOwner,
                                      void* buffer, uint64_t capacity, ResponseOnlyHandler completion) {
    performRequest(std::move(request), std::nullopt, std::move(directReadIntoOwner), buffer, capacity,
                   [completion = std::move(completion)](std::optional<boost::json::object> response,
                                                        std::optional<std::string>, std::optional<Error> error) {
                       if (completion) completion(std::move(response), std::move(error));
                   });
}

void BrindleRPCClient::submitLocked(std::shared_ptr<BrindleRPCOutboundRequest> request) {
    if (terminalConnectionError) {
        dispatchResponseHandler(std::move(request->handler), std::nullopt, std::nullopt, terminalConnectionError);
        return;
    }
    request->requestID = ++nextRequestID;
    // A caller's own id gives way to the client's, where the caller put it; otherwise the id is
    // written after the rest when the request is sent.
    if (boost::json::value* id = request->payload.if_contains(wire::key::requestID)) *id = request->requestID;
    if (socketFD >= 0 && handshakeComplete) {
        sendOutboundRequestLocked(request);
        return;
    }
    queuedRequests.push_back(std::move(request));
    ensureReadyLocked();
}

void BrindleRPCClient::sendOutboundRequestLocked(const std::shared_ptr<BrindleRPCOutboundRequest>& request) {
    if (!request) return;
    // Serialising a JSON object cannot fail with this library; only a frame too large for its
    // header is refused, and that request alone. The id is written last, as text: put into the
    // object, it would cost a key of its own and usually a larger table for one more entry.
    std::string json = boost::json::serialize(request->payload);
    const bool idInPayload = request->payload.contains(wire::key::requestID);
    if (!idInPayload) {
        json.pop_back();
        if (!request->payload.empty()) json += ',';
        fmt::format_to(std::back_inserter(json), "\"{}\":{}}}", wire::key::requestID, request->requestID);
    }
    if (!framing::fitsFrame(json.size(), request->binaryPayload ? request->binaryPayload->size() : 0)) {
        dispatchResponseHandler(std::move(request->handler), std::nullopt, std::nullopt, Error::posix(darwin::emsgsize));
        return;
    }
    auto record = std::make_shared<BrindleRPCPendingRequest>();
    record->handler = std::move(request->handler);
    if (request->directReadBuffer != nullptr || request->directReadOwner) {
        record->directRead = std::make_shared<framing::DirectReadSlot>();
        record->directRead->owner = std::move(request->directReadOwner);
        record->directRead->buffer = request->directReadBuffer;
        record->directRead->capacity = request->directReadCapacity;
    }
    if (exchangeObserver) {
        record->request = request->payload;
        if (!idInPayload) (*record->request)[wire::key::requestID] = request->requestID;
    }
    pendingRequests[request->requestID] = std::move(record);
    sendList.push_back({std::move(json), request->binaryPayload});
    if (writerActive) return;
    if (waitsForCompany(request->payload) && holdForCompanyLocked()) return;
    writerActive = true;
    writerClaimed = true;
}

bool BrindleRPCClient::holdForCompanyLocked() {
    if (holdTimerSet) return true;
    holdTimerSet = connectedSocket && connectedSocket->setHoldTimer(kHoldForCompany);
    return holdTimerSet;
}

void BrindleRPCClient::sendHeldFrames(const std::shared_ptr<SocketHandle>& socket) {
    socket->clearHoldTimer();
    StateLock lock(*this);
    if (socket != connectedSocket) return;
    holdTimerSet = false;
    if (writerActive || sendList.empty()) return;
    writerActive = true;
    writerClaimed = true;
}

void BrindleRPCClient::serveWriterRole() { drainSendList(onReaderThread ? Writer::Reader : Writer::Caller); }

void BrindleRPCClient::drainSendList(Writer writer) {
    StateLock lock(*this);
    boost::container::small_vector<framing::FramePieces, 4> pieces;
    bool wroteABatch = false;
    while (unfinishedBatch || !sendList.empty()) {
        // A caller or a reader writes one batch, its own frame among it, and leaves what arrived
        // meanwhile to the writer queue, so that a busy client cannot keep it from its own work.
        if (writer != Writer::WriterQueue && wroteABatch) break;
        // The list holds frames of the current socket only: a failure empties it.
        PartlyWritten batch = unfinishedBatch ? std::move(*std::exchange(unfinishedBatch, std::nullopt))
                                              : PartlyWritten{std::exchange(sendList, {}), 0};
        const auto socket = connectedSocket;
        // What was held back goes with this batch; the timer would only wake the reader for nothing.
        if (holdTimerSet && socket->setHoldTimer(std::chrono::microseconds::zero())) holdTimerSet = false;
        const uint64_t generation = connectionGeneration;
        lock.unlock();
        pieces.clear();
        pieces.reserve(batch.frames.size());
        size_t total = 0;
        for (const UnsentFrame& frame : batch.frames) {
            pieces.push_back({frame.json, frame.binaryPayload ? std::string_view(*frame.binaryPayload) : std::string_view()});
            total += framing::kHeaderSize + pieces.back().json.size() + pieces.back().payload.size();
        }
        std::optional<foundation::Error> error;
        if (writer == Writer::Reader) {
            // A reader never waits for room: what the socket does not take at once, the writer
            // queue writes, ahead of anything else.
            const auto written = framing::writeFramesWithoutWaiting(pieces, socket->fd(), batch.written);
            if (!written) {
                error = written.error();
            } else {
                batch.written = written.value();
            }
        } else {
            error = framing::writeFrames(pieces, socket->fd(), batch.written);
            batch.written = total;
        }
        wroteABatch = true;
        lock.lock();
        if (error) {
            failConnectionLockedWithError(*error, generation, false);
        } else if (batch.written < total && socket == connectedSocket) {
            unfinishedBatch = std::move(batch);
        }
    }
    if (unfinishedBatch || !sendList.empty()) {
        writerQueue.async([self = shared_from_this()] { self->drainSendList(Writer::WriterQueue); });
        return;
    }
    writerActive = false;
}

void BrindleRPCClient::flushQueuedRequestsLocked() {
    if (queuedRequests.empty()) return;
    auto snapshot = std::exchange(queuedRequests, {});
    for (const auto& request : snapshot) sendOutboundRequestLocked(request);
}

void BrindleRPCClient::startReaderLoopForFD(std::shared_ptr<SocketHandle> socket, uint64_t generation) {
    std::erase_if(readerThreads, [](Reader& reader) {
        if (!reader.finished->load()) return false;
        reader.thread.join();  // returns at once: only the thread's last releases remain
        return true;
    });
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([self = shared_from_this(), socket = std::move(socket), generation, finished] {
        self->readerLoopForFD(socket, generation);
        finished->store(true);
    });
    readerThreads.push_back({std::move(thread), std::move(finished)});
}

void BrindleRPCClient::readerLoopForFD(const std::shared_ptr<SocketHandle>& socket, uint64_t generation) {
    onReaderThread = true;
    const framing::DirectReadLookup lookup = [this](uint64_t requestID) { return directReadSlotForRequestID(requestID); };
    framing::FrameReader frames(socket->fd(), framing::FrameReader::kBufferSize,
                                {socket->holdTimer(), [this, &socket] { sendHeldFrames(socket); }});
    for (;;) {
        auto frame = frames.next(lookup);
        if (!frame) {
            failConnectionWithError(frame.error(), generation, false);
            return;
        }
        if (frame.value().unreadable) {
            const uint64_t requestID = *foundation::json::uint64Field(frame.value().response, wire::key::requestID);
            deliverUnreadableResponse(requestID, std::move(*frame.value().unreadable));
            continue;
        }
        deliverResponseDictionary(std::move(frame.value().response), std::move(frame.value().payload));
    }
}

std::shared_ptr<framing::DirectReadSlot> BrindleRPCClient::directReadSlotForRequestID(uint64_t requestID) {
    StateLock lock(*this);
    const auto found = pendingRequests.find(requestID);
    return found != pendingRequests.end() ? found->second->directRead : nullptr;
}

ResponseHandler BrindleRPCClient::takeReplyHandler(uint64_t requestID, const boost::json::object* response,
                                                   const Error* unreadable) {
    StateLock lock(*this);
    const auto found = pendingRequests.find(requestID);
    if (found == pendingRequests.end()) {
        lock.unlock();
        if (response != nullptr) logging::info("orvel: rpc response has unknown request_id={}", requestID);
        return nullptr;
    }
    auto record = std::move(found->second);
    pendingRequests.erase(found);
    if (requestID == handshakeRequestID) {
        if (response != nullptr) {
            handshakeReplyLocked(*response);
        } else {
            handshakeRequestID = 0;
            failConnectionLockedWithError(*unreadable, 0, false);
        }
        return nullptr;
    }
    if (exchangeObserver && record->request && response != nullptr) {
        return [observer = exchangeObserver, request = std::move(*record->request), handler = std::move(record->handler)](
                   std::optional<boost::json::object> reply, std::optional<std::string> payload,
                   std::optional<Error> error) {
            const uint64_t payloadSize =
                payload ? payload->size()
                        : foundation::json::uint64Field(*reply, wire::key::payloadLength).value_or(0);
            observer(request, *reply, payloadSize);
            handler(std::move(reply), std::move(payload), std::move(error));
        };
    }
    return std::move(record->handler);
}

// A reply's completion runs here on the reader, after the lock is let go: handing it to the
// callback queue would wake a pool thread for every reply, and a completion that reaches the
// reader does little (a kernel reply, a chained request written without waiting, a semaphore
// another thread waits on). What it must never do is wait for another reply: this thread is the
// one that would read it. Completions of failures and refusals still go to the callback queue.
void BrindleRPCClient::deliverResponseDictionary(boost::json::object response, std::optional<std::string> payload) {
    const auto requestID = foundation::json::uint64Field(response, wire::key::requestID);
    if (!requestID) {
        logging::error("orvel: rpc response missing request_id");
        return;
    }
    if (auto handler = takeReplyHandler(*requestID, &response, nullptr)) {
        handler(std::move(response), std::move(payload), std::nullopt);
    }
}

void BrindleRPCClient::deliverUnreadableResponse(uint64_t requestID, Error error) {
    logging::error("orvel: rpc response unreadable request_id={} error={}", requestID, error);
    if (auto handler = takeReplyHandler(requestID, nullptr, &error)) handler(std::nullopt, std::nullopt, std::move(error));
}

void BrindleRPCClient::dispatchResponseHandler(ResponseHandler handler, std::optional<boost::json::object> response,
                                               std::optional<std::string> payload, std::optional<Error> error) {
    if (!handler) return;
    completionsDue.push_back([handler = std::move(handler), response = std::move(response), payload = std::move(payload),
                              error = std::move(error)]() mutable {
        handler(std::move(response), std::move(payload), std::move(error));
    });
}

}  // namespace brindle
