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
    const uint64_t limit =
        maxEntries.value() == 0 ? kDefaultEntries : std::min<uint64_t>(maxEntries.value(), kMaxEntries);
    if (handle.value() != 0 && directories_.nodeOf(call.connection(), handle.value()) != parent.value()) {
        return errorReply(Error(Errno::ebadf, "unknown directory handle"));
    }
    uint64_t position = handle.value() != 0 ? cookie.value() & kPositionMask : cookie.value();
    if (handle.value() == 0 && position > kPositionMask) return errorReply(Error(Errno::einval, "bad cookie"));

    auto lookup = backend_.listingLookup(call, parent.value());
    if (!lookup) return errorReply(lookup.error());

    uint32_t generation = 0;
    DirectoryHandles::Names names;
    if (handle.value() != 0 && cookie.value() != 0) {
        generation = static_cast<uint32_t>(cookie.value() >> 32);
        names = directories_.listing(handle.value(), generation);
    }
    if (!names) {
        const auto resumeAfter = handle.value() != 0 && cookie.value() != 0
                                     ? directories_.nameBefore(handle.value(), generation, position)
                                     : std::nullopt;
        PackedListing listing;
        if (auto listed = backend_.listDirectory(call, parent.value(), listing); !listed) {
            return errorReply(listed.error());
        }
        names = listing.finish(parent.value());
        if (resumeAfter) position = names->firstAfter(*resumeAfter);
        if (handle.value() != 0) {
            const auto begun = directories_.beginListing(handle.value(), names);
            if (!begun) return errorReply(Error(Errno::ebadf, "unknown directory handle"));
            generation = *begun;
        }
    }

    // Built where the reply keeps its values, so that none is copied into it at the end.
    Reply reply = okReply();
    boost::json::array items(reply.object.storage());
    size_t index = position;
    for (; index < names->size() && items.size() < limit; ++index) {
        const std::string name((*names)[index]);
        auto item = lookup.value()(name);
        if (!item) {
            // Gone since the listing began; anything else is worth a line.
            if (item.error().code() != Errno::enoent) {
                logging::error("orvel: server left \"{}\" out of a listing of node {}: {} {}", name, parent.value(),
                               errnoName(item.error().code()), item.error().message());
            }
            continue;
        }
        auto record = itemRecord(call.method(), backend_, item.value(), Place{parent.value(), name});
        if (!record) return errorReply(record.error());
        record.value().nextCookie = cookieFor(generation, index + 1);
        items.push_back(wire::encodeItemRecord(record.value(), reply.object.storage()));
    }
    if (handle.value() != 0) directories_.served(handle.value(), generation, position, index);
    reply.object[key::dirItems] = std::move(items);
    return reply;
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
