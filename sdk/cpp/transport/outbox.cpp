#include "sdk/cpp/transport/outbox.h"

#include "platform/log/log.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace brindle::sdk {

namespace {

using Clock = std::chrono::steady_clock;

// Replies handed to the kernel per system call: three pieces each, well under IOV_MAX.
constexpr size_t kMaxPieces = 3 * 64;
// Replies held for a next one stay under this many bytes, so that holding never delays much.
constexpr size_t kMaxHeldBytes = 16 * 1024;
// The writer looks at `closed_` at least this often while it waits for a client to take bytes.
constexpr std::chrono::milliseconds kPollSlice{100};

void putBigEndian32(uint8_t* out, size_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

}  // namespace

void Outbox::reserve(size_t bytes) {
    std::lock_guard lock(mutex_);
    reservedBytes_ += bytes;
}

void Outbox::push(std::string json, std::string payload, size_t reserved, Send send) {
    {
        std::lock_guard lock(mutex_);
        reservedBytes_ -= std::min(reserved, reservedBytes_);
        roomMade_.notify_all();
        if (closed_) return;
        Frame& frame = frames_.emplace_back(Frame{{}, std::move(json), std::move(payload)});
        putBigEndian32(frame.header.data(), frame.json.size());
        putBigEndian32(frame.header.data() + 4, frame.payload.size());
        queuedBytes_ += frame.size();
        // Whoever is writing takes this reply along.
        if (writing_) return;
        if (send == Send::withNext && frame.payload.empty() && queuedBytes_ <= kMaxHeldBytes) return;
        writing_ = true;
    }
    writeQueued();
}

void Outbox::sendHeld() {
    {
        std::lock_guard lock(mutex_);
        if (writing_ || closed_ || frames_.empty()) return;
        writing_ = true;
    }
    writeQueued();
}

void Outbox::writeQueued() {
    switch (writeAvailable()) {
    case Progress::Drained:
        return;
    case Progress::Blocked: {
        std::lock_guard lock(mutex_);
        writing_ = false;
        if (!blockedSince_) blockedSince_ = Clock::now();
        writerWanted_.notify_one();
        return;
    }
    case Progress::Failed: {
        std::lock_guard lock(mutex_);
        writing_ = false;
        closeLocked();
        return;
    }
    }
}

Outbox::Progress Outbox::writeAvailable() {
    for (;;) {
        std::array<iovec, kMaxPieces> pieces;
        size_t count = 0;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return Progress::Failed;
            if (frames_.empty()) {
                writing_ = false;
                if (finishing_) writerWanted_.notify_one();
                return Progress::Drained;
            }
            // Elements of a deque stay where they are while others are appended, so these
            // pieces remain valid after the lock is let go.
            for (Frame& frame : frames_) {
                if (count + 3 > pieces.size()) break;
                size_t skip = frame.sent;
                const auto add = [&](const void* data, size_t length) {
                    if (skip >= length) {
                        skip -= length;
                        return;
                    }
                    pieces[count++] = {const_cast<char*>(static_cast<const char*>(data)) + skip, length - skip};
                    skip = 0;
                };
                add(frame.header.data(), frame.header.size());
                add(frame.json.data(), frame.json.size());
                add(frame.payload.data(), frame.payload.size());
            }
        }
        msghdr message{};
        message.msg_iov = pieces.data();
        message.msg_iovlen = count;
        const ssize_t written = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Progress::Blocked;
            logging::debug("orvel: server reply not sent errno={}", errno);
            return Progress::Failed;
        }
        std::lock_guard lock(mutex_);
        consumeLocked(static_cast<size_t>(written));
    }
}

void Outbox::consumeLocked(size_t written) {
    if (written > 0) blockedSince_.reset();
    while (written > 0) {
        Frame& front = frames_.front();
        const size_t rest = front.size() - front.sent;
        if (written < rest) {
            front.sent += written;
            break;
        }
        written -= rest;
        queuedBytes_ -= front.size();
        frames_.pop_front();
    }
    roomMade_.notify_all();
}

bool Outbox::waitUntilWritable() {
    for (;;) {
        std::chrono::milliseconds wait;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return false;
            const auto now = Clock::now();
            if (!blockedSince_) blockedSince_ = now;
            const auto deadline = *blockedSince_ + stallDeadline_;
            if (now >= deadline) {
                logging::error("orvel: server disconnects a client that took no reply for {} ms",
                               stallDeadline_.count());
                closeLocked();
                return false;
            }
            wait = std::min(kPollSlice, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        }
        pollfd descriptor{fd_, POLLOUT, 0};
        if (::poll(&descriptor, 1, static_cast<int>(wait.count())) > 0) return true;
    }
}

void Outbox::runWriter() {
    std::unique_lock lock(mutex_);
    for (;;) {
        writerWanted_.wait(lock, [this] { return closed_ || (!writing_ && (finishing_ || !frames_.empty())); });
        if (closed_ || frames_.empty()) return;
        writing_ = true;
        lock.unlock();
        Progress progress = writeAvailable();
        while (progress == Progress::Blocked) {
            progress = waitUntilWritable() ? writeAvailable() : Progress::Failed;
        }
        lock.lock();
        if (progress == Progress::Failed) {
            writing_ = false;
            closeLocked();
            return;
        }
    }
}

void Outbox::finish() {
    std::lock_guard lock(mutex_);
    finishing_ = true;
    writerWanted_.notify_one();
}

void Outbox::close() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void Outbox::closeLocked() {
    if (!closed_) {
        closed_ = true;
        // The reader wakes from its read, and the client sees the connection end.
        ::shutdown(fd_, SHUT_RDWR);
    }
    // While somebody writes, the pieces still point into the frames; that writer drops them.
    if (!writing_) {
        frames_.clear();
        queuedBytes_ = 0;
    }
    writerWanted_.notify_one();
    roomMade_.notify_all();
}

bool Outbox::waitForRoom(size_t limit) {
    std::unique_lock lock(mutex_);
    roomMade_.wait(lock, [&] { return closed_ || queuedBytes_ + reservedBytes_ < limit; });
    return !closed_;
}

}  // namespace brindle::sdk
