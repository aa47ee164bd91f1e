#include "protocol/wire.h"
#include "sdk/cpp/dispatch/dispatcher.h"
#include "sdk/cpp/dispatch/results.h"

#include <fmt/format.h>

#include <algorithm>

namespace brindle::sdk {

namespace key = wire::key;

namespace {

// A read reply must fit the client's 16 MiB frame limit together with its JSON.
constexpr uint64_t kMaxReadLength = 16u * 1024u * 1024u - 64u * 1024u;

Result<uint64_t> offsetOf(const Request& request) {
    auto offset = request.u64(key::offset);
    if (!offset) return offset;
    if (offset.value() > static_cast<uint64_t>(INT64_MAX)) return Error(Errno::einval, "bad offset");
    return offset;
}

}  // namespace

Reply Dispatcher::open(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto modes = request.u64(key::openModes);
    if (!modes) return errorReply(modes.error());
    const auto asked = static_cast<uint32_t>(modes.value());
    if (asked & kOpenWrite) {
        if (auto refused = refuseChange()) return errorReply(*refused);
    }
    const auto failed = openFor(call, node.value(), asked);
    return failed ? errorReply(*failed) : okReply();
}

std::optional<Error> Dispatcher::openFor(const Call& call, NodeId node, uint32_t asked) {
    if (openFiles_.reopen(call.connection(), node, asked)) return std::nullopt;

    const auto held = openFiles_.find(call.connection(), node);
    const uint32_t wanted = asked | (held ? held->modes : 0);
    auto file = backend_.open(call, node, wanted);
    if (!file) return file.error();
    if (!file.value()) return handlerFault(call.method(), "the handler returned no open file");
    if (openFiles_.put(call.connection(), node, std::move(file.value()), wanted) == OpenFiles::Put::full) {
        return Error(Errno::emfile, "too many open files");
    }
    return std::nullopt;
}

std::optional<Error> Dispatcher::keepCreated(const Call& call, NodeId node, std::shared_ptr<OpenFile> file,
                                             uint32_t modes) {
    if (!file || openFiles_.find(call.connection(), node)) return openFor(call, node, modes);
    if (openFiles_.put(call.connection(), node, std::move(file), modes) == OpenFiles::Put::full) {
        return Error(Errno::emfile, "too many open files");
    }
    return std::nullopt;
}

Reply Dispatcher::close(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto keeping = request.u64(key::keepingModes, 0);
    if (!keeping) return errorReply(keeping.error());
    const auto closed = backend_.close(call, node.value(), static_cast<uint32_t>(keeping.value()));
    openFiles_.remove(call.connection(), node.value());
    return closed ? okReply() : errorReply(closed.error());
}

Reply Dispatcher::read(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto offset = offsetOf(request);
    if (!offset) return errorReply(offset.error());
    auto length = request.u64(key::length);
    if (!length) return errorReply(length.error());

    Reply reply = okReply();
    reply.payload.resize(static_cast<size_t>(std::min(length.value(), kMaxReadLength)));
    auto done = backend_.read(call, node.value(), offset.value(), reply.payload);
    if (!done) return errorReply(done.error());
    if (done.value() > reply.payload.size()) {
        return errorReply(handlerFault(call.method(), fmt::format("the handler read {} bytes into a buffer of {}",
                                                                  done.value(), reply.payload.size())));
    }
    reply.payload.resize(done.value());
    return reply;
}

Reply Dispatcher::write(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto offset = request.u64(key::offset);
    if (!offset) return errorReply(offset.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    if (offset.value() > static_cast<uint64_t>(INT64_MAX)) return errorReply(Error(Errno::einval, "bad offset"));
    std::string_view data = request.payload;
    auto length = request.u64(key::length, data.size());
    if (!length) return errorReply(length.error());
    data = data.substr(0, static_cast<size_t>(std::min<uint64_t>(length.value(), data.size())));

    auto appending = request.flag(key::append, false);
    if (!appending) return errorReply(appending.error());
    if (appending.value() && advertises(extension::append)) {
        Reply reply = append(call, node.value(), data);
        addChangedRecord(reply, call, key::itemAttrs, node.value());
        return reply;
    }

    auto written = backend_.write(call, node.value(), offset.value(), data);
    if (!written) return errorReply(written.error());
    if (written.value() > data.size()) {
        return errorReply(handlerFault(call.method(), fmt::format("the handler wrote {} bytes of {}",
                                                                  written.value(), data.size())));
    }
    Reply reply = okReply();
    reply.object[key::writeSize] = static_cast<uint64_t>(written.value());
    addChangedRecord(reply, call, key::itemAttrs, node.value());
    return reply;
}

Reply Dispatcher::append(const Call& call, NodeId node, std::string_view data) {
    auto appended = backend_.append(call, node, data);
    if (!appended) return errorReply(appended.error());
    const Appended& done = appended.value();
    if (done.written > data.size() || done.offset > static_cast<uint64_t>(INT64_MAX) ||
        done.size < done.offset + done.written) {
        return errorReply(handlerFault(call.method(), fmt::format("the handler appended {} bytes of {} at {} to a "
                                                                  "file of {}",
                                                                  done.written, data.size(), done.offset, done.size)));
    }
    Reply reply = okReply();
    reply.object[key::writeSize] = static_cast<uint64_t>(done.written);
    reply.object[key::writtenAt] = done.offset;
    reply.object[key::fileSize] = done.size;
    return reply;
}

}  // namespace brindle::sdk
