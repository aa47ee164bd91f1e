#include "conform/connection.h"

#include "conform/verdict.h"
#include "protocol/wire.h"

#include <fmt/format.h>

#include <future>
#include <type_traits>

namespace brindle::conform {

using foundation::Error;

namespace {

template <typename T, typename Result>
Outcome<T> outcomeOf(Result result, std::optional<Error> error) {
    Outcome<T> outcome;
    outcome.error = std::move(error);
    if constexpr (std::is_same_v<Result, bool>) {
        if (result) outcome.value = true;
    } else if constexpr (std::is_same_v<Result, uint64_t>) {
        if (!outcome.error) outcome.value = result;
    } else if constexpr (std::is_same_v<Result, Item>) {
        if (result) outcome.value = std::move(result);
    } else {
        if (result) outcome.value = std::move(*result);
    }
    return outcome;
}

std::string seconds(std::chrono::milliseconds duration) {
    return duration.count() % 1000 == 0 ? fmt::format("{} s", duration.count() / 1000)
                                        : fmt::format("{} ms", duration.count());
}

}  // namespace

template <typename T, typename Start>
Outcome<T> Connection::call(std::string_view method, Start start) {
    // Shared, so that a reply arriving after the check gave up on it still has somewhere to go.
    auto promise = std::make_shared<std::promise<Outcome<T>>>();
    auto future = promise->get_future();
    start([promise](auto result, std::optional<Error> error) {
        promise->set_value(outcomeOf<T>(std::move(result), std::move(error)));
    });
    if (future.wait_for(target_.timeout) != std::future_status::ready) {
        client_->disconnect();
        fail(fmt::format("no reply to {} within {}", method, seconds(target_.timeout)));
    }
    return future.get();
}

Connection::Connection(const Target& target)
    : target_(target), client_(BrindleRPCClient::initWithSession(target.session)) {
    client_->setExchangeObserver([this](const boost::json::object& request, const boost::json::object& reply,
                                        size_t payloadSize) {
        const auto* method = request.if_contains("method");
        if (method == nullptr || !method->is_string()) return;
        std::lock_guard lock(mutex_);
        lastExchanges_[std::string(method->get_string())] = {request, reply, payloadSize};
    });
    try {
        const auto accepted = call<bool>("handshake", [&](auto reply) { client_->connectAndHandshakeWithReply(reply); });
        if (!accepted.value) {
            fail("the server did not accept the session's handshake: " +
                 (accepted.error ? describe(*accepted.error) : std::string("no error given")));
        }
    } catch (const CheckFailed&) {
        // No destructor runs for a constructor that throws: the readers go before the members do.
        client_->disconnect();
        client_.reset();
        throw;
    }
}

// The observer reaches into this object from the reader: the client, and with it its readers, must
// be gone before the members it records into.
Connection::~Connection() {
    client_->disconnect();
    client_.reset();
}

std::optional<Exchange> Connection::lastExchange(std::string_view method) const {
    std::lock_guard lock(mutex_);
    const auto found = lastExchanges_.find(method);
    if (found == lastExchanges_.end()) return std::nullopt;
    return found->second;
}

Outcome<bool> Connection::ping() {
    return call<bool>("ping", [&](auto reply) { client_->pingWithReply(reply); });
}

Outcome<bool> Connection::synchronize(uint32_t flags) {
    return call<bool>("synchronize", [&](auto reply) { client_->synchronizeWithFlags(flags, reply); });
}

Outcome<Item> Connection::root() {
    return call<Item>("get_root_attributes", [&](auto reply) { client_->fetchRootItemWithReply(reply); });
}

Outcome<boost::json::object> Connection::statistics() {
    return call<boost::json::object>("statfs", [&](auto reply) { client_->fetchVolumeStatisticsWithReply(reply); });
}

Outcome<Item> Connection::attributes(uint64_t nodeID, uint64_t parentID, const std::string& name) {
    return call<Item>("get_attributes",
                      [&](auto reply) { client_->fetchAttributesForNodeID(nodeID, parentID, name, reply); });
}

Outcome<Item> Connection::lookup(uint64_t parentID, const std::string& name) {
    return call<Item>("lookup", [&](auto reply) { client_->lookupItemNamed(name, parentID, reply); });
}

Outcome<Items> Connection::enumerate(uint64_t directoryID, uint64_t handle, uint64_t cookie, uint64_t maxEntries) {
    // The verifier is the client's; a server may ignore it, so the kit sends what a fresh mount does.
    return call<Items>("enumerate_directory", [&](auto reply) {
        client_->enumerateDirectoryWithParentID(directoryID, handle, cookie, 1, maxEntries, reply);
    });
}

Outcome<Item> Connection::createFile(uint64_t parentID, const std::string& name, int32_t mode) {
    return call<Item>("create_file", [&](auto reply) { client_->createFileNamed(name, parentID, mode, reply); });
}

Outcome<Item> Connection::createOpenedFile(uint64_t parentID, const std::string& name, uint32_t modes) {
    return call<Item>("create_file", [&](auto reply) {
        client_->createFileNamed(name, parentID, 0644, modes,
                                 [reply](std::shared_ptr<BrindleItem> item, bool, std::optional<Error> error) {
                                     reply(std::move(item), std::move(error));
                                 });
    });
}

bool Connection::advertises(std::string_view extension) const { return client_->serverSupports(extension); }

Outcome<Item> Connection::createDirectory(uint64_t parentID, const std::string& name, int32_t mode) {
    return call<Item>("create_directory",
                      [&](auto reply) { client_->createDirectoryNamed(name, parentID, mode, reply); });
}

Outcome<Item> Connection::createSymlink(uint64_t parentID, const std::string& name, const std::string& target) {
    return call<Item>("create_symlink",
                      [&](auto reply) { client_->createSymbolicLinkNamed(name, parentID, target, reply); });
}

Outcome<bool> Connection::removeFile(uint64_t parentID, const std::string& name) {
    return call<bool>("remove_file", [&](auto reply) { client_->removeFileNamed(name, parentID, reply); });
}

Outcome<bool> Connection::removeDirectory(uint64_t parentID, const std::string& name) {
    return call<bool>("remove_directory", [&](auto reply) { client_->removeDirectoryNamed(name, parentID, reply); });
}

Outcome<bool> Connection::rename(uint64_t parentID, const std::string& name, uint64_t newParentID,
                                 const std::string& newName) {
    return call<bool>("rename",
                      [&](auto reply) { client_->renameItemNamed(name, parentID, newName, newParentID, reply); });
}

Outcome<Item> Connection::setMode(const Item& item, uint32_t mode) {
    return call<Item>("set_attributes", [&](auto reply) {
        client_->setAttributesForNodeID(item->nodeID, item->parentNodeID, item->name, boost::json::value(mode),
                                        std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                        std::nullopt, std::nullopt, std::nullopt, std::nullopt, reply);
    });
}

Outcome<Item> Connection::setSize(const Item& item, uint64_t size) {
    return call<Item>("set_attributes", [&](auto reply) {
        client_->setAttributesForNodeID(item->nodeID, item->parentNodeID, item->name, std::nullopt, std::nullopt,
                                        std::nullopt, boost::json::value(size), std::nullopt, std::nullopt,
                                        std::nullopt, std::nullopt, std::nullopt, std::nullopt, reply);
    });
}

Outcome<Item> Connection::setModifyTime(const Item& item, int64_t seconds, int64_t nanoseconds) {
    return call<Item>("set_attributes", [&](auto reply) {
        client_->setAttributesForNodeID(item->nodeID, item->parentNodeID, item->name, std::nullopt, std::nullopt,
                                        std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                        boost::json::value(seconds), boost::json::value(nanoseconds), std::nullopt,
                                        std::nullopt, reply);
    });
}

Outcome<bool> Connection::open(uint64_t nodeID, uint32_t modes) {
    return call<bool>("open", [&](auto reply) { client_->openItemWithNodeID(nodeID, modes, reply); });
}

Outcome<bool> Connection::close(uint64_t nodeID, uint32_t keepingModes) {
    return call<bool>("close", [&](auto reply) { client_->closeItemWithNodeID(nodeID, keepingModes, reply); });
}

Outcome<uint64_t> Connection::openDirectory(uint64_t nodeID) {
    return call<uint64_t>("open_directory", [&](auto reply) { client_->openDirectoryWithNodeID(nodeID, reply); });
}

Outcome<Connection::OpenedWithBatch> Connection::openDirectoryWithFirstBatch(uint64_t nodeID, uint64_t batchSize) {
    return call<OpenedWithBatch>("open_directory", [&](auto reply) {
        client_->openDirectoryWithRecordForNodeID(
            nodeID, "", batchSize,
            [reply](uint64_t handle, std::shared_ptr<BrindleItem>, std::optional<FirstBatch> batch,
                    std::optional<Error> error) {
                std::optional<OpenedWithBatch> opened;
                if (!error) opened = OpenedWithBatch{handle, std::move(batch)};
                reply(std::move(opened), std::move(error));
            });
    });
}

Outcome<uint64_t> Connection::closeDirectory(uint64_t nodeID, uint64_t handle) {
    return call<uint64_t>("close_directory",
                          [&](auto reply) { client_->closeDirectoryWithNodeID(nodeID, handle, reply); });
}

Outcome<std::string> Connection::read(uint64_t nodeID, uint64_t offset, uint64_t length) {
    return call<std::string>("read", [&](auto reply) { client_->readFileWithNodeID(nodeID, offset, length, reply); });
}

Outcome<uint64_t> Connection::write(uint64_t nodeID, uint64_t offset, std::string data) {
    return call<uint64_t>("write",
                          [&](auto reply) { client_->writeFileWithNodeID(nodeID, offset, std::move(data), reply); });
}

Outcome<AppendedBytes> Connection::append(uint64_t nodeID, std::string data) {
    return call<AppendedBytes>("write",
                               [&](auto reply) { client_->appendToFileWithNodeID(nodeID, std::move(data), reply); });
}

Outcome<std::string> Connection::readlink(uint64_t nodeID) {
    return call<std::string>("readlink", [&](auto reply) { client_->readSymbolicLinkWithNodeID(nodeID, reply); });
}

Outcome<std::vector<std::string>> Connection::listXattrs(uint64_t nodeID) {
    return call<std::vector<std::string>>("list_xattrs",
                                          [&](auto reply) { client_->listXattrsForNodeID(nodeID, reply); });
}

Outcome<ChangeNotice> Connection::waitForChanges(uint32_t waitMs) {
    return call<ChangeNotice>("wait_for_changes", [&](auto reply) { client_->waitForChanges(waitMs, reply); });
}

Outcome<std::string> Connection::getXattr(uint64_t nodeID, const std::string& name) {
    return call<std::string>("get_xattr", [&](auto reply) { client_->getXattrNamed(name, nodeID, reply); });
}

Outcome<bool> Connection::setXattr(uint64_t nodeID, const std::string& name, int32_t flags, std::string value) {
    return call<bool>("set_xattr",
                      [&](auto reply) { client_->setXattrNamed(name, nodeID, flags, std::move(value), reply); });
}

Outcome<bool> Connection::removeXattr(uint64_t nodeID, const std::string& name) {
    return call<bool>("remove_xattr", [&](auto reply) { client_->removeXattrNamed(name, nodeID, reply); });
}

Outcome<bool> Connection::setLock(uint64_t nodeID, const BrindleLock& lock) {
    return call<bool>("set_lock", [&](auto reply) { client_->setLockOnNodeID(nodeID, lock, reply); });
}

Outcome<BrindleLock> Connection::testLock(uint64_t nodeID, const BrindleLock& lock) {
    return call<BrindleLock>("test_lock", [&](auto reply) {
        client_->testLockOnNodeID(nodeID, lock, [reply](std::optional<BrindleLock> conflicting, std::optional<Error> error) {
            if (!conflicting && !error) {
                conflicting.emplace();
                conflicting->type = "unlock";
            }
            reply(std::move(conflicting), std::move(error));
        });
    });
}

Outcome<bool> Connection::forgetNodes(const std::vector<uint64_t>& nodeIDs, const std::vector<uint64_t>& counts) {
    return call<bool>("forget_nodes", [&](auto reply) {
        boost::json::object request{{wire::key::method, wire::method::forgetNodes},
                                    {wire::key::nodeIDs, boost::json::value_from(nodeIDs)},
                                    {wire::key::counts, boost::json::value_from(counts)}};
        client_->performRequest(std::move(request), [reply](std::optional<boost::json::object> response,
                                                            std::optional<Error> error) {
            if (error) return reply(false, std::move(error));
            BrindleRPCClient::replyWithBooleanResponse(*response, "forget_nodes failed", reply);
        });
    });
}

}  // namespace brindle::conform
