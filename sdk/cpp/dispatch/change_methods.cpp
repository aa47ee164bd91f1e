#include "brindle/names.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/wire.h"
#include "sdk/cpp/dispatch/dispatcher.h"

#include <chrono>

namespace brindle::sdk {

namespace key = wire::key;
namespace method = wire::method;

bool Dispatcher::isHeld(std::string_view name) { return name == method::waitForChanges; }

void Dispatcher::waitForChanges(const Request& request, ChangeNotices::Answer answer) {
    if (!changeNotices_) {
        answer(errorReply(Error(Errno::enotsup, "this server does not tell changes")));
        return;
    }
    auto waitMs = request.u64(key::waitMs);
    if (!waitMs) {
        answer(errorReply(waitMs.error()));
        return;
    }
    changeNotices_->wait(request.connectionID, std::chrono::milliseconds(std::min<uint64_t>(waitMs.value(), UINT32_MAX)),
                         std::move(answer));
}

void Dispatcher::releaseHeld(uint64_t connectionID) {
    if (changeNotices_) changeNotices_->connectionEnded(connectionID);
}

void Dispatcher::changed(const OutsideChange& change, std::optional<uint64_t> knownTo) {
    if (!changeNotices_) return;
    ChangeNotices::Change told{change.nodes, {}};
    told.entries.reserve(change.entries.size());
    for (const auto& entry : change.entries) {
        // No client can be sent such a name, nor has it one cached: listings leave it out.
        if (!isValidName(entry.name)) {
            logging::debug("orvel: server: an outside change of a name that is not a valid entry name is not told");
            continue;
        }
        told.entries.push_back({entry.parent, entry.name});
    }
    changeNotices_->changed(knownTo, told);
}

void Dispatcher::everythingChanged() {
    if (changeNotices_) changeNotices_->everythingChanged();
}

bool Dispatcher::listened() const { return changeNotices_ && changeNotices_->listening(); }

void Dispatcher::recordChange(const Request& request, std::string_view name) {
    // The request was answered with success, so its keys are the ones the method needs.
    const auto u64 = [&](std::string_view field) { return foundation::json::uint64Field(request.object, field).value_or(0); };
    const auto text = [&](std::string_view field) {
        const auto* value = foundation::json::stringField(request.object, field);
        return value ? std::string(value->data(), value->size()) : std::string();
    };
    ChangeNotices::Change change;
    if (name == method::createFile || name == method::createDirectory || name == method::createSymlink ||
        name == method::removeFile || name == method::removeDirectory) {
        change.nodes.push_back(u64(key::parentID));
        change.entries.push_back({u64(key::parentID), text(key::name)});
    } else if (name == method::rename) {
        change.nodes = {u64(key::parentID), u64(key::newParentID)};
        change.entries = {{u64(key::parentID), text(key::name)}, {u64(key::newParentID), text(key::newName)}};
    } else if (name == method::setAttributes || name == method::write || name == method::setXattr ||
               name == method::removeXattr) {
        change.nodes.push_back(u64(key::nodeID));
    } else {
        return;
    }
    changeNotices_->changed(request.connectionID, change);
}

}  // namespace brindle::sdk
