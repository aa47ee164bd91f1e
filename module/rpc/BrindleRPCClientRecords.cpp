#include "module/rpc/BrindleRPCClient.h"
#include "module/rpc/BrindleRPCClientStateLock.h"

#include "platform/foundation/json.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

#include <algorithm>

namespace brindle {

using foundation::Error;
namespace json = foundation::json;
namespace key = wire::key;
namespace method = wire::method;
using boost::json::object;

namespace {

struct Touched {
    std::string_view nodeKey;
    std::string_view recordKey;
};

// The nodes a change touches, by the request key that names each, and the reply key of its record.
std::vector<Touched> touchedBy(std::string_view name) {
    if (name == method::createFile || name == method::createDirectory || name == method::createSymlink ||
        name == method::removeFile || name == method::removeDirectory) {
        return {{key::parentID, key::parentAttrs}};
    }
    if (name == method::rename) return {{key::parentID, key::parentAttrs}, {key::newParentID, key::newParentAttrs}};
    if (name == method::write) return {{key::nodeID, key::itemAttrs}};
    // Their own replies carry the record or none: either way nothing for a later fetch.
    if (name == method::setAttributes || name == method::setXattr || name == method::removeXattr) {
        return {{key::nodeID, {}}};
    }
    return {};
}

}  // namespace

void BrindleRPCClient::setChangedRecords(ChangedRecords observer) {
    StateLock lock(*this);
    changedRecords = std::move(observer);
}

ResponseHandler BrindleRPCClient::watchChanges(const object& request, ResponseHandler completion) {
    const boost::json::string* name = json::stringField(request, key::method);
    if (name == nullptr) return completion;
    const auto touched = touchedBy(*name);
    if (touched.empty()) return completion;
    std::vector<ChangeTicket> tickets;
    std::function<void(uint64_t)> changing;
    {
        StateLock lock(*this);
        if (!changedRecords.changing || !changedRecords.changed) return completion;
        changing = changedRecords.changing;
        for (const auto& [nodeKey, recordKey] : touched) {
            const auto node = json::uint64Field(request, nodeKey);
            if (!node || std::ranges::any_of(tickets, [&](const ChangeTicket& t) { return t.nodeID == *node; })) {
                continue;
            }
            ChangesOfNode& changes = changesInFlight[*node];
            tickets.push_back({*node, recordKey, ++changes.sent, changes.inFlight == 0});
            ++changes.inFlight;
        }
    }
    for (const ChangeTicket& ticket : tickets) changing(ticket.nodeID);
    return [weakSelf = weak_from_this(), tickets = std::move(tickets), completion = std::move(completion)](
               std::optional<object> response, std::optional<std::string> payload, std::optional<Error> error) {
        if (const auto self = weakSelf.lock()) self->changesEnded(tickets, response);
        completion(std::move(response), std::move(payload), std::move(error));
    };
}

void BrindleRPCClient::changesEnded(const std::vector<ChangeTicket>& tickets, const std::optional<object>& response) {
    std::vector<const ChangeTicket*> adoptable;
    ChangedRecords observer;
    bool advertised = false;
    {
        StateLock lock(*this);
        for (const ChangeTicket& ticket : tickets) {
            ChangesOfNode& changes = changesInFlight[ticket.nodeID];
            // A record is the node's state after this change only where no other change of the
            // node was in flight beside it: the server may have served overlapping ones in any order.
            if (ticket.alone && ticket.sequence == changes.sent && !ticket.recordKey.empty()) {
                adoptable.push_back(&ticket);
            }
            if (--changes.inFlight == 0) changesInFlight.erase(ticket.nodeID);
        }
        observer = changedRecords;
        advertised = advertisedExtensions.contains(std::string(wire::extension::postOpRecords));
    }
    const boost::json::value* ok = response ? response->if_contains(key::ok) : nullptr;
    const bool succeeded = advertised && ok != nullptr && json::truthValue(*ok);
    for (const ChangeTicket& ticket : tickets) {
        std::shared_ptr<BrindleItem> item;
        const boost::json::value* value = succeeded && std::ranges::find(adoptable, &ticket) != adoptable.end()
                                              ? response->if_contains(ticket.recordKey)
                                              : nullptr;
        if (const object* record = value != nullptr ? value->if_object() : nullptr) {
            std::optional<Error> recordError;
            item = itemFromDictionary(*record, std::nullopt, &recordError);
            if (item && (item->nodeID != ticket.nodeID || !item->attributesLoaded)) item = nullptr;
        }
        // Whatever another change left meanwhile is no longer the node's state either.
        if (item) observer.changed(std::move(item));
        else observer.changing(ticket.nodeID);
    }
}

}  // namespace brindle
