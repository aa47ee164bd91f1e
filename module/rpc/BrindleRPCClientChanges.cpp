#include "module/rpc/BrindleRPCClient.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace key = wire::key;
namespace method = wire::method;
using boost::json::object;

namespace {

Error malformed(const std::string& what) {
    return Error::posix(darwin::eio, "the server's " + std::string(method::waitForChanges) + " reply " + what);
}

// A missing list is an empty one.
const boost::json::array* listOf(const object& response, std::string_view name, bool& wrongKind) {
    const boost::json::value* value = response.if_contains(name);
    if (value == nullptr) return nullptr;
    const boost::json::array* list = value->if_array();
    if (list == nullptr) wrongKind = true;
    return list;
}

std::optional<uint64_t> nodeIDOf(const boost::json::value& value) {
    if (const auto* unsignedNumber = value.if_uint64()) return *unsignedNumber;
    if (const auto* signedNumber = value.if_int64(); signedNumber != nullptr && *signedNumber > 0) {
        return static_cast<uint64_t>(*signedNumber);
    }
    return std::nullopt;
}

foundation::Result<ChangeNotice> noticeFrom(const object& response) {
    ChangeNotice notice;
    if (const auto* everything = response.if_contains(key::everythingChanged)) {
        if (!everything->is_bool()) return malformed("has an \"everything_changed\" that is not a boolean");
        notice.everything = everything->as_bool();
    }
    bool wrongKind = false;
    const auto* nodes = listOf(response, key::changedNodes, wrongKind);
    const auto* parents = listOf(response, key::changedEntryParents, wrongKind);
    const auto* names = listOf(response, key::changedEntryNames, wrongKind);
    if (wrongKind) return malformed("has a change list that is not a list");
    if ((parents ? parents->size() : 0) != (names ? names->size() : 0)) {
        return malformed("names a different number of directories and names");
    }
    if (nodes != nullptr) {
        for (const auto& value : *nodes) {
            const auto node = nodeIDOf(value);
            if (!node) return malformed("lists a node id that is not one");
            notice.nodes.push_back(*node);
        }
    }
    if (parents != nullptr) {
        for (size_t index = 0; index < parents->size(); ++index) {
            const auto parent = nodeIDOf((*parents)[index]);
            const auto* name = (*names)[index].if_string();
            if (!parent || name == nullptr) return malformed("lists an entry that is not a node id and a name");
            notice.entries.emplace_back(*parent, std::string(*name));
        }
    }
    return notice;
}

}  // namespace

void BrindleRPCClient::waitForChanges(uint32_t waitMs, ChangeNoticeReply reply) {
    if (!serverSupports(wire::extension::changeNotices)) {
        callbackQueue.async([reply = std::move(reply)] {
            reply(std::nullopt, Error::posix(darwin::enotsup, "the server does not tell changes"));
        });
        return;
    }
    performRequest({{key::method, method::waitForChanges}, {key::waitMs, waitMs}},
                   [reply = std::move(reply)](std::optional<object> response, std::optional<Error> error) {
                       if (error) {
                           reply(std::nullopt, std::move(error));
                           return;
                       }
                       const boost::json::value* ok = response->if_contains(key::ok);
                       if (ok == nullptr || !foundation::json::truthValue(*ok)) {
                           reply(std::nullopt, rpcErrorFromResponse(*response, darwin::eio,
                                                                    std::string(method::waitForChanges) + " failed"));
                           return;
                       }
                       auto notice = noticeFrom(*response);
                       if (!notice) {
                           reply(std::nullopt, notice.error());
                           return;
                       }
                       reply(std::move(notice.value()), std::nullopt);
                   });
}

}  // namespace brindle
