#include "brindle/names.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/dispatcher.h"
#include "sdk/cpp/dispatch/results.h"

#include <fmt/format.h>

namespace brindle::sdk {

namespace key = wire::key;

namespace {

Reply done(const Result<void>& result) { return result ? okReply() : errorReply(result.error()); }

Reply recordReply(std::string_view key, const Result<wire::ItemRecord>& record) {
    if (!record) return errorReply(record.error());
    Reply reply = okReply();
    reply.object[key] = wire::encodeItemRecord(record.value(), reply.object.storage());
    return reply;
}

Result<wire::ItemRecord> recordAt(const Call& call, const Backend& backend, NodeId parent, const std::string& name,
                                  const Result<Item>& item) {
    if (!item) return item.error();
    return itemRecord(call.method(), backend, item.value(), Place{parent, name});
}

// A time given as two keys; none when the request leaves both out.
Result<std::optional<Time>> requestedTime(const Request& request, std::string_view secondsKey,
                                          std::string_view nanosecondsKey) {
    if (!request.has(secondsKey) && !request.has(nanosecondsKey)) return std::optional<Time>();
    auto seconds = request.i64(secondsKey);
    if (!seconds) return seconds.error();
    auto nanoseconds = request.i64(nanosecondsKey);
    if (!nanoseconds) return nanoseconds.error();
    if (nanoseconds.value() < 0 || nanoseconds.value() > 999'999'999) {
        return Error(Errno::einval, "nanoseconds out of range");
    }
    return std::optional<Time>(Time{seconds.value(), nanoseconds.value()});
}

Result<std::optional<uint32_t>> requestedID(const Request& request, std::string_view key) {
    if (!request.has(key)) return std::optional<uint32_t>();
    auto value = request.u64(key);
    if (!value) return value.error();
    return std::optional<uint32_t>(static_cast<uint32_t>(value.value()));
}

// The directory entry a request names with "parent_id" and "name".
struct Entry {
    NodeId parent = 0;
    std::string name;
};

Result<Entry> entryOf(const Request& request) {
    auto parent = request.u64(key::parentID);
    if (!parent) return parent.error();
    auto name = request.entryName(key::name);
    if (!name) return name.error();
    return Entry{parent.value(), std::move(name.value())};
}

// The same with the "mode" of a new entry, its permission bits. `refused` comes after the
// arguments' own errors.
struct NewEntry {
    NodeId parent = 0;
    std::string name;
    uint32_t mode = 0;
};

Result<NewEntry> newEntryOf(const Request& request, const std::optional<Error>& refused) {
    auto entry = entryOf(request);
    if (!entry) return entry.error();
    auto mode = request.i64(key::mode);
    if (!mode) return mode.error();
    if (refused) return *refused;
    return NewEntry{entry.value().parent, std::move(entry.value().name), static_cast<uint32_t>(mode.value() & 07777)};
}

// The create of a client that asked create_file to open the file, and what the backend opened with it.
Result<Item> createOpening(Backend& backend, const Call& call, const NewEntry& entry, uint32_t modes,
                           std::shared_ptr<OpenFile>& file) {
    auto made = backend.createOpenFile(call, entry.parent, entry.name, entry.mode, modes);
    if (!made) return made.error();
    file = std::move(made.value().file);
    return std::move(made.value().item);
}

}  // namespace

Reply Dispatcher::ping(const Request&, const Call& call) { return done(backend_.ping(call)); }

Reply Dispatcher::synchronize(const Request& request, const Call& call) {
    auto flags = request.u64(key::syncFlags, 0);
    if (!flags) return errorReply(flags.error());
    return done(backend_.synchronize(call, static_cast<uint32_t>(flags.value())));
}

Reply Dispatcher::getRootAttributes(const Request&, const Call& call) {
    auto item = backend_.getRootAttributes(call);
    if (!item) return errorReply(item.error());
    return recordReply(key::rootAttrs, itemRecord(call.method(), backend_, item.value(), Place{item.value().node, "/"}));
}

Reply Dispatcher::statfs(const Request&, const Call& call) {
    auto stats = backend_.statfs(call);
    if (!stats) return errorReply(stats.error());
    Reply reply = okReply();
    reply.object[key::blockSize] = stats.value().blockSize;
    reply.object[key::ioSize] = stats.value().ioSize;
    reply.object[key::blocks] = stats.value().blocks;
    reply.object[key::freeBlocks] = stats.value().freeBlocks;
    reply.object[key::availableBlocks] = stats.value().availableBlocks;
    reply.object[key::files] = stats.value().files;
    reply.object[key::freeFiles] = stats.value().freeFiles;
    return reply;
}

Reply Dispatcher::getAttributes(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    return recordReply(key::itemAttrs, recordOf(call, backend_, node.value(), backend_.getAttributes(call, node.value())));
}

Reply Dispatcher::setAttributes(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    if (auto refused = refuseChange()) return errorReply(*refused);

    AttributeChanges changes;
    auto accessTime = requestedTime(request, key::setAccessTimeSec, key::setAccessTimeNsec);
    if (!accessTime) return errorReply(accessTime.error());
    changes.accessTime = accessTime.value();
    auto modifyTime = requestedTime(request, key::setModifyTimeSec, key::setModifyTimeNsec);
    if (!modifyTime) return errorReply(modifyTime.error());
    changes.modifyTime = modifyTime.value();
    auto birthTime = requestedTime(request, key::setBirthTimeSec, key::setBirthTimeNsec);
    if (!birthTime) return errorReply(birthTime.error());
    changes.birthTime = birthTime.value();
    if (request.has(key::setMode)) {
        auto mode = request.u64(key::setMode);
        if (!mode) return errorReply(mode.error());
        changes.mode = static_cast<uint32_t>(mode.value() & 07777);
    }
    auto uid = requestedID(request, key::setUid);
    if (!uid) return errorReply(uid.error());
    changes.uid = uid.value();
    auto gid = requestedID(request, key::setGid);
    if (!gid) return errorReply(gid.error());
    changes.gid = gid.value();
    if (request.has(key::setSize)) {
        auto size = request.u64(key::setSize);
        if (!size) return errorReply(size.error());
        if (size.value() > static_cast<uint64_t>(INT64_MAX)) return errorReply(Errno::efbig);
        changes.size = size.value();
    }
    return recordReply(key::itemAttrs,
                       recordOf(call, backend_, node.value(), backend_.setAttributes(call, node.value(), changes)));
}

Reply Dispatcher::lookup(const Request& request, const Call& call) {
    auto entry = entryOf(request);
    if (!entry) return errorReply(entry.error());
    const auto& [parent, name] = entry.value();
    return recordReply(key::lookupItem, recordAt(call, backend_, parent, name, backend_.lookup(call, parent, name)));
}

Reply Dispatcher::createFile(const Request& request, const Call& call) {
    auto entry = newEntryOf(request, refuseChange());
    if (!entry) return errorReply(entry.error());
    const auto& [parent, name, mode] = entry.value();
    // Where the extension is not advertised the key is one this server does not know, and ignored.
    std::optional<uint32_t> openModes;
    if (request.has(key::openModes) && advertises(extension::createOpens)) {
        auto modes = request.u64(key::openModes);
        if (!modes) return errorReply(modes.error());
        openModes = static_cast<uint32_t>(modes.value());
    }
    std::shared_ptr<OpenFile> file;
    const auto created = openModes ? createOpening(backend_, call, entry.value(), *openModes, file)
                                   : backend_.createFile(call, parent, name, mode);
    const auto record = recordAt(call, backend_, parent, name, created);
    // Only a create answered with its record opens: the client can close nothing it cannot name.
    // A failed open leaves the file to the client's own open.
    const bool opened = openModes && record && !keepCreated(call, created.value().node, std::move(file), *openModes);
    Reply reply = recordReply(key::itemAttrs, record);
    if (openModes && record) reply.object[key::opened] = opened;
    addChangedRecord(reply, call, key::parentAttrs, parent);
    return reply;
}

Reply Dispatcher::createDirectory(const Request& request, const Call& call) {
    auto entry = newEntryOf(request, refuseChange());
    if (!entry) return errorReply(entry.error());
    const auto& [parent, name, mode] = entry.value();
    Reply reply = recordReply(key::itemAttrs,
                              recordAt(call, backend_, parent, name, backend_.createDirectory(call, parent, name, mode)));
    addChangedRecord(reply, call, key::parentAttrs, parent);
    return reply;
}

Reply Dispatcher::createSymlink(const Request& request, const Call& call) {
    auto entry = entryOf(request);
    if (!entry) return errorReply(entry.error());
    const auto& [parent, name] = entry.value();
    auto target = request.string(key::linkTarget);
    if (!target) return errorReply(target.error());
    if (target.value().empty() || target.value().find('\0') != std::string::npos) {
        return errorReply(Error(Errno::einval, "invalid link target"));
    }
    if (auto refused = refuseChange()) return errorReply(*refused);
    Reply reply = recordReply(key::itemAttrs, recordAt(call, backend_, parent, name,
                                                       backend_.createSymlink(call, parent, name, target.value())));
    addChangedRecord(reply, call, key::parentAttrs, parent);
    return reply;
}

Reply Dispatcher::removeFile(const Request& request, const Call& call) {
    auto entry = entryOf(request);
    if (!entry) return errorReply(entry.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    Reply reply = done(backend_.removeFile(call, entry.value().parent, entry.value().name));
    addChangedRecord(reply, call, key::parentAttrs, entry.value().parent);
    return reply;
}

Reply Dispatcher::removeDirectory(const Request& request, const Call& call) {
    auto entry = entryOf(request);
    if (!entry) return errorReply(entry.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    Reply reply = done(backend_.removeDirectory(call, entry.value().parent, entry.value().name));
    addChangedRecord(reply, call, key::parentAttrs, entry.value().parent);
    return reply;
}

Reply Dispatcher::rename(const Request& request, const Call& call) {
    auto entry = entryOf(request);
    if (!entry) return errorReply(entry.error());
    auto newParent = request.u64(key::newParentID);
    if (!newParent) return errorReply(newParent.error());
    auto newName = request.entryName(key::newName);
    if (!newName) return errorReply(newName.error());
    if (auto refused = refuseChange()) return errorReply(*refused);
    Reply reply =
        done(backend_.rename(call, entry.value().parent, entry.value().name, newParent.value(), newName.value()));
    addChangedRecord(reply, call, key::parentAttrs, entry.value().parent);
    if (newParent.value() != entry.value().parent) {
        addChangedRecord(reply, call, key::newParentAttrs, newParent.value());
    }
    return reply;
}

void Dispatcher::addChangedRecord(Reply& reply, const Call& call, std::string_view key, NodeId node) const {
    const auto* ok = reply.object.if_contains(key::ok);
    if (!advertises(extension::postOpRecords) || ok == nullptr || !ok->is_bool() || !ok->get_bool()) return;
    const auto record = recordOf(call, backend_, node, backend_.getAttributes(call, node));
    if (record) reply.object[key] = wire::encodeItemRecord(record.value(), reply.object.storage());
}

Reply Dispatcher::readlink(const Request& request, const Call& call) {
    auto node = request.u64(key::nodeID);
    if (!node) return errorReply(node.error());
    auto target = backend_.readlink(call, node.value());
    if (!target) return errorReply(target.error());
    if (!isValidUTF8(target.value())) return errorReply(handlerFault(call.method(), "the handler's link target is not UTF-8"));
    Reply reply = okReply();
    reply.object[key::linkTarget] = target.value();
    return reply;
}

}  // namespace brindle::sdk
