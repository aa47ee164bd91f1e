#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace brindle::sdk {

// The replies of one connection on their way out. Whoever adds a reply writes it at once when
// nobody else is writing and the socket takes it, which saves a thread wake-up per quick call;
// what the socket does not take waits for the connection's own writer thread. Nobody ever waits
// for the client: one that takes none of its replies for the stall deadline is cut off.
class Outbox {
public:
    // `withNext`: the reply waits for the next one to go out in the same write, so that the
    // client wakes once for both; `sendHeld` sends it if no next one comes.
    enum class Send { now, withNext };

    Outbox(int socketFD, std::chrono::milliseconds stallDeadline) : fd_(socketFD), stallDeadline_(stallDeadline) {}
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Never waits for the peer. A reply added after the outbox closed is dropped. `reserved` is
    // what `reserve` set aside for it.
    void push(std::string json, std::string payload, size_t reserved = 0, Send send = Send::now);
    // Writes the replies that wait for a next one.
    void sendHeld();
    // Sets bytes aside for a reply still being made, so that requests in flight count as queued.
    void reserve(size_t bytes);
    // Waits until fewer than `limit` bytes are queued or set aside; false once the outbox is closed.
    bool waitForRoom(size_t limit);
    // The writer thread's loop; returns when the outbox closes, or when it is finished and empty.
    void runWriter();
    // No more replies will come: the writer ends once everything queued is written.
    void finish();
    // Stops all writing and shuts the socket down; what is queued is never sent.
    void close();

private:
    struct Frame {
        std::array<uint8_t, 8> header;
        std::string json;
        std::string payload;
        size_t sent = 0;  // bytes of header, JSON and payload already written

        size_t size() const { return header.size() + json.size() + payload.size(); }
    };
    enum class Progress { Drained, Blocked, Failed };

    // Writes what is queued; only the thread that set `writing_` calls it.
    void writeQueued();
    // Writes what the socket takes without waiting, several replies per call. Only the thread
    // that set `writing_` calls it; on Drained it has cleared `writing_` itself, so that a reply
    // queued meanwhile is never left behind.
    Progress writeAvailable();
    // The writer's wait for room in the socket; false once the stall deadline has passed or the outbox closed.
    bool waitUntilWritable();
    void consumeLocked(size_t written);
    void closeLocked();

    const int fd_;
    const std::chrono::milliseconds stallDeadline_;

    mutable std::mutex mutex_;
    // Two conditions, so that a reply written at once wakes nobody: the writer thread waits only
    // for replies the socket did not take (or for the end), the reader for room in the queue.
    std::condition_variable writerWanted_;
    std::condition_variable roomMade_;
    std::deque<Frame> frames_;
    size_t queuedBytes_ = 0;
    size_t reservedBytes_ = 0;
    bool writing_ = false;
    bool finishing_ = false;
    bool closed_ = false;
    // When the socket last refused bytes while replies waited, with no progress since.
    std::optional<std::chrono::steady_clock::time_point> blockedSince_;
};

}  // namespace brindle::sdk
