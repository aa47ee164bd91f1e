#include "module/rpc/BrindleRPCClient.h"

#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"
#include "protocol/wire.h"

#include <algorithm>

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;
namespace json = foundation::json;
namespace key = wire::key;
namespace method = wire::method;
using boost::json::object;

namespace {

bool isOK(const object& response) {
    const boost::json::value* ok = response.if_contains(key::ok);
    return ok != nullptr && json::truthValue(*ok);
}

Error replyError(const object& response, const std::string& defaultMessage) {
    return BrindleRPCClient::rpcErrorFromResponse(response, darwin::eio, defaultMessage);
}

std::string failedMessage(std::string_view wireName) { return std::string(wireName) + " failed"; }

// The argument-free requests are the same object on every call.
const object& fixedRequest(std::string_view wireName) {
    static const object ping{{key::method, method::ping}};
    static const object root{{key::method, method::getRootAttributes}};
    static const object statfs{{key::method, method::statfs}, {key::nodeID, 1}};
    if (wireName == method::ping) return ping;
    if (wireName == method::getRootAttributes) return root;
    return statfs;
}

}  // namespace

void BrindleRPCClient::performBooleanRequest(object request, std::string defaultMessage, SuccessReply reply) {
    performRequest(std::move(request), [reply = std::move(reply), defaultMessage = std::move(defaultMessage)](
                                           std::optional<object> response, std::optional<Error> error) {
        if (error) {
            reply(false, std::move(error));
            return;
        }
        replyWithBooleanResponse(*response, defaultMessage, reply);
    });
}

void BrindleRPCClient::performItemRequest(object request, std::string_view resultKey, std::string defaultName,
                                          std::string defaultMessage, ItemReply reply, Handout handout) {
    performRequest(std::move(request), [weakSelf = weak_from_this(), reply = std::move(reply), resultKey,
                                        defaultName = std::move(defaultName), defaultMessage = std::move(defaultMessage),
                                        handout](std::optional<object> response, std::optional<Error> error) {
        if (error) {
            reply(nullptr, std::move(error));
            return;
        }
        const boost::json::value* value = response->if_contains(resultKey);
        const object* record = value != nullptr ? value->if_object() : nullptr;
        if (!isOK(*response) || record == nullptr) {
            reply(nullptr, replyError(*response, defaultMessage));
            return;
        }
        std::optional<Error> recordError;
        auto item = itemFromDictionary(*record, defaultName, &recordError);
        if (item && handout == Handout::counted) {
            if (const auto self = weakSelf.lock()) self->countHandout(*item);
        }
        reply(item, item ? std::nullopt : std::move(recordError));
    });
}

void BrindleRPCClient::performHandleRequest(object request, std::string defaultMessage, CountReply reply) {
    performRequest(std::move(request), [reply = std::move(reply), defaultMessage = std::move(defaultMessage)](
                                           std::optional<object> response, std::optional<Error> error) {
        if (error) {
            reply(0, std::move(error));
            return;
        }
        const auto handle = json::uint64Field(*response, key::handleID);
        if (!isOK(*response) || !handle) {
            reply(0, replyError(*response, defaultMessage));
            return;
        }
        reply(*handle, std::nullopt);
    });
}

void BrindleRPCClient::performDataRequest(object request, std::string defaultMessage, DataReply reply) {
    performRequest(std::move(request), std::nullopt,
                   [reply = std::move(reply), defaultMessage = std::move(defaultMessage)](
                       std::optional<object> response, std::optional<std::string> payload, std::optional<Error> error) {
                       if (error) {
                           reply(std::nullopt, std::move(error));
                           return;
                       }
                       if (!isOK(*response)) {
                           reply(std::nullopt, replyError(*response, defaultMessage));
                           return;
                       }
                       reply(payload ? std::move(payload) : std::string(), std::nullopt);
                   });
}

void BrindleRPCClient::pingWithReply(SuccessReply reply) {
    performBooleanRequest(fixedRequest(method::ping), failedMessage(method::ping), std::move(reply));
}

void BrindleRPCClient::synchronizeWithFlags(uint32_t flags, SuccessReply reply) {
    performBooleanRequest({{key::method, method::synchronize}, {key::syncFlags, flags}},
                          failedMessage(method::synchronize), std::move(reply));
}

void BrindleRPCClient::fetchRootItemWithReply(ItemReply reply) {
    performItemRequest(fixedRequest(method::getRootAttributes), key::rootAttrs, "/",
                       failedMessage(method::getRootAttributes), std::move(reply));
}

void BrindleRPCClient::fetchVolumeStatisticsWithReply(StatisticsReply reply) {
    performRequest(fixedRequest(method::statfs), [reply = std::move(reply)](std::optional<object> response,
                                                                            std::optional<Error> error) {
        if (error) {
            reply(std::nullopt, std::move(error));
            return;
        }
        if (!isOK(*response)) {
            reply(std::nullopt, replyError(*response, failedMessage(method::statfs)));
            return;
        }
        object statistics;
        for (std::string_view name : {key::blockSize, key::ioSize, key::blocks, key::freeBlocks, key::availableBlocks,
                                      key::files, key::freeFiles}) {
            const boost::json::value* value = response->if_contains(name);
            statistics[name] = json::isNumber(value) ? *value : boost::json::value(0);
        }
        reply(std::move(statistics), std::nullopt);
    });
}

void BrindleRPCClient::fetchAttributesForNodeID(uint64_t nodeID, uint64_t parentID, std::optional<std::string> name,
                                                ItemReply reply) {
    std::string sent = name.value_or(std::string());
    object request{{key::method, method::getAttributes}, {key::nodeID, nodeID}, {key::parentID, parentID},
                   {key::name, sent}};
    performItemRequest(std::move(request), key::itemAttrs, std::move(sent), failedMessage(method::getAttributes),
                       std::move(reply));
}

void BrindleRPCClient::lookupItemNamed(const std::string& name, uint64_t parentID, ItemReply reply) {
    performItemRequest({{key::method, method::lookup}, {key::parentID, parentID}, {key::name, name}}, key::lookupItem,
                       name, failedMessage(method::lookup), std::move(reply), Handout::counted);
}

void BrindleRPCClient::enumerateDirectoryWithParentID(uint64_t parentID, uint64_t handleID, uint64_t cookie,
                                                      uint64_t verifier, uint64_t maxEntries, ItemsReply reply) {
    logging::debug("orvel: rpc enumerateDirectory parentID={} handleID={} cookie={} verifier={} maxEntries={}",
                   parentID, handleID, cookie, verifier, maxEntries);
    object request{{key::method, method::enumerateDirectory}, {key::parentID, parentID}, {key::handleID, handleID},
                   {key::cookie, cookie}, {key::verifier, verifier}, {key::maxEntries, maxEntries}};
    performRequest(std::move(request), [weakSelf = weak_from_this(), reply = std::move(reply)](
                                           std::optional<object> response, std::optional<Error> error) {
        if (error) {
            reply(std::nullopt, std::move(error));
            return;
        }
        if (!isOK(*response)) {
            reply(std::nullopt, replyError(*response, failedMessage(method::enumerateDirectory)));
            return;
        }
        std::optional<Error> itemsError;
        auto items = itemsFromListing(*response, &itemsError);
        if (!items) return reply(std::nullopt, std::move(itemsError));
        if (const auto self = weakSelf.lock()) {
            for (const auto& item : *items) self->countHandout(*item);
        }
        logging::debug("orvel: rpc enumerateDirectory returned {} items", items->size());
        reply(std::move(items), std::nullopt);
    });
}

std::optional<std::vector<std::shared_ptr<BrindleItem>>> BrindleRPCClient::itemsFromListing(
    const object& response, std::optional<Error>* error) {
    const boost::json::value* entries = response.if_contains(key::dirItems);
    const boost::json::array* array = entries != nullptr ? entries->if_array() : nullptr;
    std::vector<std::shared_ptr<BrindleItem>> items;
    if (array == nullptr) return items;
    items.reserve(array->size());
    for (const boost::json::value& entry : *array) {
        const object* record = entry.if_object();
        if (record == nullptr) {
            *error = Error::posix(darwin::einval);
            return std::nullopt;
        }
        const boost::json::string* name = json::stringField(*record, key::name);
        auto item = itemFromDictionary(*record, name != nullptr ? std::string(*name) : std::string(), error);
        if (!item) return std::nullopt;
        items.push_back(std::move(item));
    }
    return items;
}

void BrindleRPCClient::createFileNamed(const std::string& name, uint64_t parentID, int32_t mode, ItemReply reply) {
    performItemRequest({{key::method, method::createFile}, {key::parentID, parentID}, {key::name, name},
                        {key::mode, mode}},
                       key::itemAttrs, name, failedMessage(method::createFile), std::move(reply), Handout::counted);
}

void BrindleRPCClient::createFileNamed(const std::string& name, uint64_t parentID, int32_t mode, uint32_t openModes,
                                       CreatedFileReply reply) {
    if (!serverSupports(wire::extension::createOpens)) {
        return createFileNamed(name, parentID, mode,
                               [reply = std::move(reply)](std::shared_ptr<BrindleItem> item, std::optional<Error> error) {
            reply(std::move(item), false, std::move(error));
        });
    }
    performRequest({{key::method, method::createFile}, {key::parentID, parentID}, {key::name, name},
                    {key::mode, mode}, {key::openModes, openModes}},
                   [weakSelf = weak_from_this(), reply = std::move(reply), name](std::optional<object> response,
                                                                                  std::optional<Error> error) {
                       if (error) return reply(nullptr, false, std::move(error));
                       const boost::json::value* value = response->if_contains(key::itemAttrs);
                       const object* record = value != nullptr ? value->if_object() : nullptr;
                       if (!isOK(*response) || record == nullptr) {
                           return reply(nullptr, false, replyError(*response, failedMessage(method::createFile)));
                       }
                       std::optional<Error> recordError;
                       auto item = itemFromDictionary(*record, name, &recordError);
                       if (item) {
                           if (const auto self = weakSelf.lock()) self->countHandout(*item);
                       }
                       const boost::json::value* opened = response->if_contains(key::opened);
                       const bool isOpen = opened != nullptr && opened->is_bool() && opened->get_bool();
                       if (item) return reply(item, isOpen, std::nullopt);
                       // A create that fails here is never closed by anyone above, so the open the
                       // server made for it goes now, where the record still names the node.
                       const auto node = isOpen ? json::uint64Field(*record, key::nodeID) : std::nullopt;
                       const auto self = weakSelf.lock();
                       if (!node || !self) return reply(nullptr, false, std::move(recordError));
                       logging::error("orvel: rpc create_file opened \"{}\" (node {}) but its record cannot be read; "
                                      "closing it again", name, *node);
                       self->closeItemWithNodeID(*node, 0, [reply, recordError](bool, std::optional<Error>) {
                           reply(nullptr, false, recordError);
                       });
                   });
}

void BrindleRPCClient::createDirectoryNamed(const std::string& name, uint64_t parentID, int32_t mode,
                                            ItemReply reply) {
    performItemRequest({{key::method, method::createDirectory}, {key::parentID, parentID}, {key::name, name},
                        {key::mode, mode}},
                       key::itemAttrs, name, failedMessage(method::createDirectory), std::move(reply), Handout::counted);
}

void BrindleRPCClient::createSymbolicLinkNamed(std::optional<std::string> name, uint64_t parentID,
                                               std::optional<std::string> target, ItemReply reply) {
    std::string sent = name.value_or(std::string());
    object request{{key::method, method::createSymlink}, {key::parentID, parentID}, {key::name, sent},
                   {key::linkTarget, target.value_or(std::string())}};
    performItemRequest(std::move(request), key::itemAttrs, std::move(sent), failedMessage(method::createSymlink),
                       std::move(reply), Handout::counted);
}

void BrindleRPCClient::removeFileNamed(const std::string& name, uint64_t parentID, SuccessReply reply) {
    performBooleanRequest({{key::method, method::removeFile}, {key::parentID, parentID}, {key::name, name}},
                          failedMessage(method::removeFile), std::move(reply));
}

void BrindleRPCClient::removeDirectoryNamed(const std::string& name, uint64_t parentID, SuccessReply reply) {
    performBooleanRequest({{key::method, method::removeDirectory}, {key::parentID, parentID}, {key::name, name}},
                          failedMessage(method::removeDirectory), std::move(reply));
}

void BrindleRPCClient::renameItemNamed(const std::string& name, uint64_t fromParentID, const std::string& toNewName,
                                       uint64_t toParentID, SuccessReply reply) {
    performBooleanRequest({{key::method, method::rename},
                           {key::parentID, fromParentID},
                           {key::name, name},
                           {key::newParentID, toParentID},
                           {key::newName, toNewName}},
                          failedMessage(method::rename), std::move(reply));
}

void BrindleRPCClient::setAttributesForNodeID(
    uint64_t nodeID, uint64_t parentID, std::optional<std::string> name, std::optional<boost::json::value> mode,
    std::optional<boost::json::value> uid, std::optional<boost::json::value> gid,
    std::optional<boost::json::value> size, std::optional<boost::json::value> accessTimeSec,
    std::optional<boost::json::value> accessTimeNsec, std::optional<boost::json::value> modifyTimeSec,
    std::optional<boost::json::value> modifyTimeNsec, std::optional<boost::json::value> birthTimeSec,
    std::optional<boost::json::value> birthTimeNsec, ItemReply reply) {
    std::string sent = name.value_or(std::string());
    object request{{key::method, method::setAttributes}, {key::nodeID, nodeID}, {key::parentID, parentID},
                   {key::name, sent}};
    const auto addSingle = [&](std::string_view name, const std::optional<boost::json::value>& value) {
        if (value) request[name] = *value;
    };
    // The two halves of a time travel together or not at all.
    const auto addTime = [&](std::string_view secName, const std::optional<boost::json::value>& sec,
                             std::string_view nsecName, const std::optional<boost::json::value>& nsec) {
        if (sec && nsec) {
            request[secName] = *sec;
            request[nsecName] = *nsec;
        }
    };
    addSingle(key::setMode, mode);
    addSingle(key::setUid, uid);
    addSingle(key::setGid, gid);
    addSingle(key::setSize, size);
    addTime(key::setAccessTimeSec, accessTimeSec, key::setAccessTimeNsec, accessTimeNsec);
    addTime(key::setModifyTimeSec, modifyTimeSec, key::setModifyTimeNsec, modifyTimeNsec);
    addTime(key::setBirthTimeSec, birthTimeSec, key::setBirthTimeNsec, birthTimeNsec);
    performItemRequest(std::move(request), key::itemAttrs, std::move(sent), failedMessage(method::setAttributes),
                       std::move(reply));
}

void BrindleRPCClient::openItemWithNodeID(uint64_t nodeID, uint32_t modes, SuccessReply reply) {
    performBooleanRequest({{key::method, method::open}, {key::nodeID, nodeID}, {key::openModes, modes}},
                          failedMessage(method::open), std::move(reply));
}

void BrindleRPCClient::openDirectoryWithNodeID(uint64_t nodeID, CountReply reply) {
    performHandleRequest({{key::method, method::openDirectory}, {key::nodeID, nodeID}},
                         failedMessage(method::openDirectory), std::move(reply));
}

namespace {

// A first batch is used only as one the listing could go on from: entries whose cookies grow from
// the start, and a closed handle only beside a batch that ends the listing.
std::optional<FirstBatch> firstBatchOf(const object& response, uint64_t batchSize, bool handleClosed) {
    const boost::json::value* entries = response.if_contains(key::dirItems);
    if (entries == nullptr || !entries->is_array()) return std::nullopt;
    std::optional<Error> error;
    auto items = BrindleRPCClient::itemsFromListing(response, &error);
    if (!items || items->size() > batchSize || (handleClosed && items->size() == batchSize)) return std::nullopt;
    uint64_t previous = 0;
    for (const auto& item : *items) {
        if (item->directoryCookie <= previous) return std::nullopt;
        previous = item->directoryCookie;
    }
    return FirstBatch{std::move(*items), handleClosed};
}

}  // namespace

void BrindleRPCClient::openDirectoryWithRecordForNodeID(uint64_t nodeID, const std::string& name, uint64_t batchSize,
                                                        OpenedDirectoryReply reply) {
    const bool withRecord = serverSupports(wire::extension::openDirectoryRecord);
    const bool withBatch = batchSize > 0 && serverSupports(wire::extension::listingInOpen);
    if (!withRecord && !withBatch) {
        return openDirectoryWithNodeID(nodeID, [reply = std::move(reply)](uint64_t handle, std::optional<Error> error) {
            reply(handle, nullptr, std::nullopt, std::move(error));
        });
    }
    object request{{key::method, method::openDirectory}, {key::nodeID, nodeID}};
    if (withBatch) request[key::firstBatch] = batchSize;
    performRequest(std::move(request), [weakSelf = weak_from_this(), reply = std::move(reply), nodeID, name, withRecord,
                                        withBatch, batchSize](std::optional<object> response,
                                                              std::optional<Error> error) {
        if (error) return reply(0, nullptr, std::nullopt, std::move(error));
        const auto handle = json::uint64Field(*response, key::handleID);
        if (!isOK(*response) || !handle) {
            return reply(0, nullptr, std::nullopt, replyError(*response, failedMessage(method::openDirectory)));
        }
        std::shared_ptr<BrindleItem> item;
        const boost::json::value* value = withRecord ? response->if_contains(key::itemAttrs) : nullptr;
        if (const object* record = value != nullptr ? value->if_object() : nullptr) {
            std::optional<Error> recordError;
            item = itemFromDictionary(*record, name, &recordError);
            // Another node's record would describe the wrong directory.
            if (item && item->nodeID != nodeID) item = nullptr;
        }
        const boost::json::value* closed = withBatch ? response->if_contains(key::handleClosed) : nullptr;
        const bool handleClosed = closed != nullptr && closed->is_bool() && closed->get_bool();
        auto batch = withBatch ? firstBatchOf(*response, batchSize, handleClosed) : std::nullopt;
        if (batch) {
            if (const auto self = weakSelf.lock()) {
                for (const auto& entry : batch->entries) self->countHandout(*entry);
            }
        }
        if (batch || !handleClosed) return reply(batch && handleClosed ? 0 : *handle, item, std::move(batch), std::nullopt);
        // The server let the handle go beside a batch that cannot be used: the listing needs one of its own.
        logging::error("orvel: rpc open_directory of node {} closed its handle beside a first batch that cannot be "
                       "read; opening it again", nodeID);
        const auto self = weakSelf.lock();
        if (!self) return reply(0, nullptr, std::nullopt, Error::posix(darwin::eio));
        self->openDirectoryWithNodeID(nodeID, [reply, item](uint64_t reopened, std::optional<Error> reopenError) {
            reply(reopened, item, std::nullopt, std::move(reopenError));
        });
    });
}

void BrindleRPCClient::closeItemWithNodeID(uint64_t nodeID, uint32_t keepingModes, SuccessReply reply) {
    performBooleanRequest({{key::method, method::close}, {key::nodeID, nodeID}, {key::keepingModes, keepingModes}},
                          failedMessage(method::close), std::move(reply));
}

void BrindleRPCClient::closeDirectoryWithNodeID(uint64_t nodeID, uint64_t handleID, CountReply reply) {
    performHandleRequest({{key::method, method::closeDirectory}, {key::nodeID, nodeID}, {key::handleID, handleID}},
                         failedMessage(method::closeDirectory), std::move(reply));
}

void BrindleRPCClient::readFileWithNodeID(uint64_t nodeID, uint64_t offset, uint64_t length, DataReply reply) {
    performDataRequest({{key::method, method::read}, {key::nodeID, nodeID}, {key::offset, offset}, {key::length, length}},
                       failedMessage(method::read), std::move(reply));
}

void BrindleRPCClient::readFileWithNodeID(uint64_t nodeID, uint64_t offset, uint64_t length,
                                          std::shared_ptr<fskit::FSMutableFileDataBuffer> intoBuffer,
                                          CountReply reply) {
    void* bytes = intoBuffer->mutableBytes();
    const uint64_t capacity = std::min<uint64_t>(length, intoBuffer->length());
    performRequest({{key::method, method::read}, {key::nodeID, nodeID}, {key::offset, offset}, {key::length, length}},
                   std::move(intoBuffer), bytes, capacity,
                   [reply = std::move(reply)](std::optional<object> response, std::optional<Error> error) {
                       if (error) {
                           reply(0, std::move(error));
                           return;
                       }
                       if (!isOK(*response)) {
                           reply(0, replyError(*response, failedMessage(method::read)));
                           return;
                       }
                       reply(json::uint64Field(*response, key::payloadLength).value_or(0), std::nullopt);
                   });
}

void BrindleRPCClient::writeFileWithNodeID(uint64_t nodeID, uint64_t offset, std::string data, CountReply reply) {
    object request{{key::method, method::write}, {key::nodeID, nodeID}, {key::offset, offset},
                   {key::length, data.size()}};
    performRequest(std::move(request), std::move(data),
                   [reply = std::move(reply)](std::optional<object> response, std::optional<std::string>,
                                              std::optional<Error> error) {
                       if (error) {
                           reply(0, std::move(error));
                           return;
                       }
                       const auto written = json::uint64Field(*response, key::writeSize);
                       if (!isOK(*response) || !written) {
                           reply(0, replyError(*response, failedMessage(method::write)));
                           return;
                       }
                       reply(*written, std::nullopt);
                   });
}

void BrindleRPCClient::appendToFileWithNodeID(uint64_t nodeID, std::string data, AppendReply reply) {
    object request{{key::method, method::write}, {key::nodeID, nodeID}, {key::offset, 0u},
                   {key::length, data.size()}, {key::append, true}};
    const uint64_t length = data.size();
    performRequest(std::move(request), std::move(data),
                   [length, reply = std::move(reply)](std::optional<object> response, std::optional<std::string>,
                                                      std::optional<Error> error) {
                       if (error) return reply(std::nullopt, std::move(error));
                       if (!isOK(*response)) return reply(std::nullopt, replyError(*response, failedMessage(method::write)));
                       const auto written = json::uint64Field(*response, key::writeSize);
                       const auto offset = json::uint64Field(*response, key::writtenAt);
                       const auto size = json::uint64Field(*response, key::fileSize);
                       // Without where the bytes went the mount cannot tell what the file holds.
                       if (!written || !offset || !size || *written > length || *size < *offset + *written ||
                           *offset > static_cast<uint64_t>(INT64_MAX)) {
                           return reply(std::nullopt, Error::posix(darwin::eio, "the server answered an append without "
                                                                                "a sound \"written_at\" and \"file_size\""));
                       }
                       reply(AppendedBytes{*written, *offset, *size}, std::nullopt);
                   });
}

void BrindleRPCClient::readSymbolicLinkWithNodeID(uint64_t nodeID, StringReply reply) {
    performRequest({{key::method, method::readlink}, {key::nodeID, nodeID}},
                   [reply = std::move(reply)](std::optional<object> response, std::optional<Error> error) {
                       if (error) {
                           reply(std::nullopt, std::move(error));
                           return;
                       }
                       const boost::json::string* target = json::stringField(*response, key::linkTarget);
                       if (!isOK(*response) || target == nullptr) {
                           reply(std::nullopt, replyError(*response, failedMessage(method::readlink)));
                           return;
                       }
                       reply(std::string(*target), std::nullopt);
                   });
}

void BrindleRPCClient::listXattrsForNodeID(uint64_t nodeID, StringsReply reply) {
    performRequest({{key::method, method::listXattrs}, {key::nodeID, nodeID}},
                   [reply = std::move(reply)](std::optional<object> response, std::optional<Error> error) {
                       if (error) {
                           reply(std::nullopt, std::move(error));
                           return;
                       }
                       const boost::json::value* value = response->if_contains(key::xattrNames);
                       const boost::json::array* names = value != nullptr ? value->if_array() : nullptr;
                       if (!isOK(*response) || names == nullptr) {
                           reply(std::nullopt, replyError(*response, failedMessage(method::listXattrs)));
                           return;
                       }
                       std::vector<std::string> result;
                       result.reserve(names->size());
                       for (const boost::json::value& name : *names) {
                           const boost::json::string* text = name.if_string();
                           if (text == nullptr) {
                               reply(std::nullopt, Error::posix(darwin::einval));
                               return;
                           }
                           result.emplace_back(*text);
                       }
                       reply(std::move(result), std::nullopt);
                   });
}

void BrindleRPCClient::getXattrNamed(std::optional<std::string> name, uint64_t forNodeID, DataReply reply) {
    performDataRequest({{key::method, method::getXattr}, {key::nodeID, forNodeID},
                        {key::xattrName, name.value_or(std::string())}},
                       failedMessage(method::getXattr), std::move(reply));
}

void BrindleRPCClient::setXattrNamed(std::optional<std::string> name, uint64_t forNodeID, int32_t policy,
                                     std::optional<std::string> value, SuccessReply reply) {
    object request{{key::method, method::setXattr}, {key::nodeID, forNodeID},
                   {key::xattrName, name.value_or(std::string())}, {key::xattrFlags, policy}};
    performRequest(std::move(request), value.value_or(std::string()),
                   [reply = std::move(reply)](std::optional<object> response, std::optional<std::string>,
                                              std::optional<Error> error) {
                       if (error) {
                           reply(false, std::move(error));
                           return;
                       }
                       replyWithBooleanResponse(*response, failedMessage(method::setXattr), reply);
                   });
}

void BrindleRPCClient::removeXattrNamed(std::optional<std::string> name, uint64_t forNodeID, SuccessReply reply) {
    performBooleanRequest({{key::method, method::removeXattr}, {key::nodeID, forNodeID},
                           {key::xattrName, name.value_or(std::string())}},
                          failedMessage(method::removeXattr), std::move(reply));
}

}  // namespace brindle
