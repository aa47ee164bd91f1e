#include "brindle/names.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/dispatcher.h"
#include "sdk/cpp/dispatch/results.h"

#include <algorithm>
#include <memory>

namespace brindle::sdk {

namespace key = wire::key;

namespace {

// The entries a listing returns when the client asks for none in particular, and at most.
constexpr uint64_t kDefaultEntries = 128;
constexpr uint64_t kMaxEntries = 4096;

uint64_t entryLimit(uint64_t asked) { return asked == 0 ? kDefaultEntries : std::min(asked, kMaxEntries); }

// A cookie is a listing's generation (upper 32 bits) and the position of the next name in it.
uint64_t cookieFor(uint32_t generation, size_t position) { return (uint64_t{generation} << 32) | position; }
constexpr uint64_t kPositionMask = 0xffffffffu;

// The names a backend lists, packed, without those no client could be sent.
class PackedListing final : public Listing {
public:
    void add(std::string_view name) override {
        if (name == "." || name == "..") return;
        if (!isValidName(name)) {
            ++leftOut_;
            return;
        }
        names_->add(name);
    }

    DirectoryHandles::Names finish(NodeId directory) {
        if (leftOut_ > 0) {
            logging::info("orvel: server left {} entries out of the listing of node {}: their names are not UTF-8 "
                          "or not single names", leftOut_, directory);
        }
        names_->sort();
        names_->shrink();
        return std::move(names_);
    }

private:
    std::shared_ptr<PackedNames> names_ = std::make_shared<PackedNames>();
    size_t leftOut_ = 0;
};

}  // namespace

Reply Dispatcher::openDirectory(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    // Asked for before the open, so that a bad value leaves nothing open.
    std::optional<uint64_t> firstBatch;
    if (advertises(extension::listingInOpen) && request.has(key::firstBatch)) {
        auto asked = request.u64(key::firstBatch);
        if (!asked) return errorReply(asked.error());
        firstBatch = entryLimit(asked.value());
    }
    auto directory = backend_.openDirectory(call, node.value());
    if (!directory) return errorReply(directory.error());
    if (!directory.value()) return errorReply(handlerFault(call.method(), "the handler returned no open directory"));
    const auto handle = directories_.open(call.connection(), node.value(), std::move(directory.value()));
    if (!handle) return errorReply(Error(Errno::emfile, "too many open directories"));
    Reply reply = okReply();
    reply.object[key::handleID] = *handle;
    if (advertises(extension::openDirectoryRecord)) {
        // The open stands without it: a client that gets none fetches the attributes itself.
        const auto record = recordOf(call, backend_, node.value(), backend_.getAttributes(call, node.value()));
        if (record) reply.object[key::itemAttrs] = wire::encodeItemRecord(record.value(), reply.object.storage());
    }
    if (firstBatch) {
        // A batch that fails leaves the open standing: the client lists through the handle as usual.
        auto items = listingPage(call, node.value(), *handle, 0, *firstBatch, reply.object.storage());
        if (items) {
            // The whole listing went out, so the handle has nothing left to serve and goes now,
            // saving the client its close.
            const bool whole = items.value().size() < *firstBatch;
            if (whole && backend_.closeDirectory(call, node.value()) &&
                directories_.close(call.connection(), *handle, node.value())) {
                reply.object[key::handleClosed] = true;
            }
            reply.object[key::dirItems] = std::move(items.value());
        }
    }
    return reply;
}

// A listing from cookie 0 takes the directory's names once, in byte order; later calls page
// through that list, and each page looks its entries up afresh, leaving out names removed since.
// Entries added meanwhile appear in the next listing. A listing let go meanwhile is taken afresh
// and goes on after the name the cookie follows, so that names removed before it (as `rm -rf`
// removes each page) move no later name past the cookie; when that name is not known either, it
// goes on from the same position. Without a handle every call takes the names afresh and the
// cookie is a plain position.
Reply Dispatcher::enumerateDirectory(const Request& request, const Call& call) {
    auto parent = request.u64(key::parentID);
    if (!parent) return errorReply(parent.error());
    auto handle = request.u64(key::handleID, 0);
    if (!handle) return errorReply(handle.error());
    auto cookie = request.u64(key::cookie, 0);
    if (!cookie) return errorReply(cookie.error());
    auto maxEntries = request.u64(key::maxEntries, 0);
    if (!maxEntries) return errorReply(maxEntries.error());
    if (handle.value() != 0 && directories_.nodeOf(call.connection(), handle.value()) != parent.value()) {
        return errorReply(Error(Errno::ebadf, "unknown directory handle"));
    }
    Reply reply = okReply();
    auto items = listingPage(call, parent.value(), handle.value(), cookie.value(), entryLimit(maxEntries.value()),
                             reply.object.storage());
    if (!items) return errorReply(items.error());
    reply.object[key::dirItems] = std::move(items.value());
    return reply;
}

Result<boost::json::array> Dispatcher::listingPage(const Call& call, NodeId parent, uint64_t handle, uint64_t cookie,
                                                   uint64_t limit, boost::json::storage_ptr storage) {
    uint64_t position = handle != 0 ? cookie & kPositionMask : cookie;
    if (handle == 0 && position > kPositionMask) return Error(Errno::einval, "bad cookie");

    auto lookup = backend_.listingLookup(call, parent);
    if (!lookup) return lookup.error();

    uint32_t generation = 0;
    DirectoryHandles::Names names;
    if (handle != 0 && cookie != 0) {
        generation = static_cast<uint32_t>(cookie >> 32);
        names = directories_.listing(handle, generation);
    }
    if (!names) {
        const auto resumeAfter =
            handle != 0 && cookie != 0 ? directories_.nameBefore(handle, generation, position) : std::nullopt;
        PackedListing listing;
        if (auto listed = backend_.listDirectory(call, parent, listing); !listed) return listed.error();
        names = listing.finish(parent);
        if (resumeAfter) position = names->firstAfter(*resumeAfter);
        if (handle != 0) {
            const auto begun = directories_.beginListing(handle, names);
            if (!begun) return Error(Errno::ebadf, "unknown directory handle");
            generation = *begun;
        }
    }

    // Built where the reply keeps its values, so that none is copied into it at the end.
    boost::json::array items(storage);
    size_t index = position;
    for (; index < names->size() && items.size() < limit; ++index) {
        const std::string name((*names)[index]);
        auto item = lookup.value()(name);
        if (!item) {
            // Gone since the listing began; anything else is worth a line.
            if (item.error().code() != Errno::enoent) {
                logging::error("orvel: server left \"{}\" out of a listing of node {}: {} {}", name, parent,
                               errnoName(item.error().code()), item.error().message());
            }
            continue;
        }
        auto record = itemRecord(call.method(), backend_, item.value(), Place{parent, name});
        if (!record) return record.error();
        record.value().nextCookie = cookieFor(generation, index + 1);
        items.push_back(wire::encodeItemRecord(record.value(), storage));
    }
    if (handle != 0) directories_.served(handle, generation, position, index);
    return items;
}

Reply Dispatcher::closeDirectory(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto handle = request.u64(key::handleID);
    if (!handle) return errorReply(handle.error());
    if (directories_.nodeOf(call.connection(), handle.value()) != node.value()) {
        return errorReply(Error(Errno::ebadf, "unknown directory handle"));
    }
    const auto closed = backend_.closeDirectory(call, node.value());
    if (!directories_.close(call.connection(), handle.value(), node.value())) {
        return errorReply(Error(Errno::ebadf, "unknown directory handle"));
    }
    if (!closed) return errorReply(closed.error());
    Reply reply = okReply();
    reply.object[key::handleID] = uint64_t{0};
    return reply;
}

}  // namespace brindle::sdk
