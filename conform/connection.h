#pragma once

#include "conform/target.h"
#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/error.h"

#include <boost/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace brindle::conform {

// A call's result as the client handed it on: a value, or the error it failed with.
template <typename T>
struct Outcome {
    std::optional<T> value;
    std::optional<foundation::Error> error;
};

using Item = std::shared_ptr<BrindleItem>;
using Items = std::vector<Item>;

// One request and the reply that answered it, as they crossed the wire.
struct Exchange {
    boost::json::object request;
    boost::json::object reply;
    size_t payloadSize = 0;
};

// One handshaken connection, driven through the client the mount uses, so that what a check
// accepts is what a mount accepts. Each call waits for its reply at most the target's timeout;
// past it the check fails and the connection is given up.
class Connection {
public:
    // Fails the check when the server does not accept the session in time.
    explicit Connection(const Target& target);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Outcome<bool> ping();
    Outcome<bool> synchronize(uint32_t flags);
    Outcome<Item> root();
    Outcome<boost::json::object> statistics();
    Outcome<Item> attributes(uint64_t nodeID, uint64_t parentID, const std::string& name);
    Outcome<Item> lookup(uint64_t parentID, const std::string& name);
    Outcome<Items> enumerate(uint64_t directoryID, uint64_t handle, uint64_t cookie, uint64_t maxEntries);
    Outcome<Item> createFile(uint64_t parentID, const std::string& name, int32_t mode = 0644);
    // A create that asks the server to open the file too, where it advertised that it can; the
    // reply's "opened" is in lastExchange.
    Outcome<Item> createOpenedFile(uint64_t parentID, const std::string& name, uint32_t modes);
    // Whether the server advertised `extension` in its handshake.
    bool advertises(std::string_view extension) const;
    Outcome<Item> createDirectory(uint64_t parentID, const std::string& name, int32_t mode = 0755);
    Outcome<Item> createSymlink(uint64_t parentID, const std::string& name, const std::string& target);
    Outcome<bool> removeFile(uint64_t parentID, const std::string& name);
    Outcome<bool> removeDirectory(uint64_t parentID, const std::string& name);
    Outcome<bool> rename(uint64_t parentID, const std::string& name, uint64_t newParentID, const std::string& newName);
    Outcome<Item> setMode(const Item& item, uint32_t mode);
    Outcome<Item> setSize(const Item& item, uint64_t size);
    Outcome<Item> setModifyTime(const Item& item, int64_t seconds, int64_t nanoseconds);
    Outcome<bool> open(uint64_t nodeID, uint32_t modes);
    Outcome<bool> close(uint64_t nodeID, uint32_t keepingModes);
    Outcome<uint64_t> openDirectory(uint64_t nodeID);
    Outcome<uint64_t> closeDirectory(uint64_t nodeID, uint64_t handle);
    // An open_directory asking for the listing's first batch of at most `batchSize` entries: the
    // handle (0 where the server closed it) and the batch where the client could list from it;
    // the reply as it came is in lastExchange, unless the client had to open the directory again.
    struct OpenedWithBatch {
        uint64_t handle = 0;
        std::optional<FirstBatch> batch;
    };
    Outcome<OpenedWithBatch> openDirectoryWithFirstBatch(uint64_t nodeID, uint64_t batchSize);
    Outcome<std::string> read(uint64_t nodeID, uint64_t offset, uint64_t length);
    Outcome<uint64_t> write(uint64_t nodeID, uint64_t offset, std::string data);
    Outcome<AppendedBytes> append(uint64_t nodeID, std::string data);
    Outcome<std::string> readlink(uint64_t nodeID);
    Outcome<std::vector<std::string>> listXattrs(uint64_t nodeID);
    Outcome<std::string> getXattr(uint64_t nodeID, const std::string& name);
    Outcome<bool> setXattr(uint64_t nodeID, const std::string& name, int32_t flags, std::string value);
    Outcome<bool> removeXattr(uint64_t nodeID, const std::string& name);
    Outcome<ChangeNotice> waitForChanges(uint32_t waitMs);
    Outcome<bool> setLock(uint64_t nodeID, const BrindleLock& lock);
    // The lock in the way; type "unlock" when none is.
    Outcome<BrindleLock> testLock(uint64_t nodeID, const BrindleLock& lock);
    // forget_nodes with the lists as given, of equal length or not: the kit also sends what a
    // mount never would.
    Outcome<bool> forgetNodes(const std::vector<uint64_t>& nodeIDs, const std::vector<uint64_t>& counts);

    // The last reply to `method` on this connection, with its request.
    std::optional<Exchange> lastExchange(std::string_view method) const;

private:
    template <typename T, typename Start>
    Outcome<T> call(std::string_view method, Start start);

    const Target& target_;
    std::shared_ptr<BrindleRPCClient> client_;
    mutable std::mutex mutex_;
    std::map<std::string, Exchange, std::less<>> lastExchanges_;
};

}  // namespace brindle::conform
