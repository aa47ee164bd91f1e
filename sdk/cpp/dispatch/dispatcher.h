#pragma once

#include "brindle/backend.h"
#include "brindle/serving.h"
#include "sdk/cpp/dispatch/change_notices.h"
#include "sdk/cpp/dispatch/directory_handles.h"
#include "sdk/cpp/dispatch/lock_table.h"
#include "sdk/cpp/dispatch/open_files.h"
#include "sdk/cpp/dispatch/request.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle::sdk {

// Turns each request into a call of the backend and its result into the reply: arguments decoded
// and checked first, the refusals the capabilities decide, the backend's result checked before
// it goes out. It keeps what connections hold open. Every outcome is a reply; no backend fault
// ends the connection. Safe from any thread.
class Dispatcher final : private Call::Holdings, private OutsideChanges {
public:
    // `advertised`: the extensions the handshake offers; a withheld one is served as if unknown
    // ("wait_for_changes" is served only where change notices are advertised, "set_lock" and
    // "test_lock" only where locks are, "forget_nodes" only where forget is).
    Dispatcher(Backend& backend, const Limits& limits, std::vector<std::string> advertised);

    Reply dispatch(const Request& request);
    // Whether `method` may be held: such a request goes to waitForChanges instead of dispatch.
    static bool isHeld(std::string_view method);
    // Answers through `answer`, at once or once a change comes or the wait runs out; never blocks.
    void waitForChanges(const Request& request, ChangeNotices::Answer answer);
    // Answers the connection's held request, so that it does not keep the connection's end waiting.
    void releaseHeld(uint64_t connectionID);
    // Every method it serves. The handshake is not one: the door answers it before a
    // connection reaches the dispatcher.
    static std::vector<std::string_view> methodNames();
    // Lets go of what the connection held and tells the backend; called once when it ends.
    void connectionEnded(uint64_t connectionID);

    const Capabilities& capabilities() const { return capabilities_; }
    const OpenFiles& openFiles() const { return openFiles_; }
    const DirectoryHandles& directories() const { return directories_; }
    const LockTable& locks() const { return locks_; }
    // Where the backend tells of changes made behind the server's back.
    OutsideChanges& outsideChanges() { return *this; }

    using Method = Reply (Dispatcher::*)(const Request&, const Call&);

private:
    std::shared_ptr<OpenFile> openFile(uint64_t connection, NodeId node) const override;
    std::shared_ptr<OpenDirectory> openDirectory(uint64_t connection, NodeId node) const override;

    void changed(const OutsideChange& change, std::optional<uint64_t> knownTo) override;
    void everythingChanged() override;
    bool listened() const override;

    // EROFS for a change on a read-only file system.
    std::optional<Error> refuseChange() const;
    // Opens `node` for the call's connection with `asked` added to what it holds already.
    std::optional<Error> openFor(const Call& call, NodeId node, uint32_t asked);
    // Keeps what a create opened as the connection's open of the new node; without it, or when the
    // connection somehow holds the node already, opens it as an open does.
    std::optional<Error> keepCreated(const Call& call, NodeId node, std::shared_ptr<OpenFile> file, uint32_t modes);
    bool advertises(std::string_view extension) const;
    // Adds `node`'s record under `key` to a successful reply where post_op_records is advertised;
    // a record that cannot be read is left out, and the change stands.
    void addChangedRecord(Reply& reply, const Call& call, std::string_view key, NodeId node) const;
    // ENOTSUP when the file system offers no extended attributes.
    std::optional<Error> refuseXattrs() const;
    // ENOTSUP when the handshake does not offer locks.
    std::optional<Error> refuseLocks() const;

    Reply ping(const Request& request, const Call& call);
    Reply synchronize(const Request& request, const Call& call);
    Reply getRootAttributes(const Request& request, const Call& call);
    Reply statfs(const Request& request, const Call& call);
    Reply getAttributes(const Request& request, const Call& call);
    Reply setAttributes(const Request& request, const Call& call);

    Reply lookup(const Request& request, const Call& call);
    Reply createFile(const Request& request, const Call& call);
    Reply createDirectory(const Request& request, const Call& call);
    Reply createSymlink(const Request& request, const Call& call);
    Reply removeFile(const Request& request, const Call& call);
    Reply removeDirectory(const Request& request, const Call& call);
    Reply rename(const Request& request, const Call& call);
    Reply readlink(const Request& request, const Call& call);

    Reply openDirectory(const Request& request, const Call& call);
    Reply enumerateDirectory(const Request& request, const Call& call);
    Reply closeDirectory(const Request& request, const Call& call);
    // The entries of one page of a listing of `parent` from `cookie` on, through `handle` (0: none),
    // built in `storage`, the reply's.
    Result<boost::json::array> listingPage(const Call& call, NodeId parent, uint64_t handle, uint64_t cookie,
                                           uint64_t limit, boost::json::storage_ptr storage);

    Reply open(const Request& request, const Call& call);
    Reply close(const Request& request, const Call& call);
    Reply read(const Request& request, const Call& call);
    Reply write(const Request& request, const Call& call);
    Reply append(const Call& call, NodeId node, std::string_view data);

    Reply listXattrs(const Request& request, const Call& call);
    Reply getXattr(const Request& request, const Call& call);
    Reply setXattr(const Request& request, const Call& call);
    Reply removeXattr(const Request& request, const Call& call);

    Reply setLock(const Request& request, const Call& call);
    Reply testLock(const Request& request, const Call& call);

    Reply forgetNodes(const Request& request, const Call& call);

    static const std::unordered_map<std::string_view, Method>& methods();
    // Tells the other connections what a successful change of `request` touched.
    void recordChange(const Request& request, std::string_view method);

    Backend& backend_;
    const Capabilities capabilities_;
    const std::vector<std::string> advertised_;
    OpenFiles openFiles_;
    DirectoryHandles directories_;
    std::optional<ChangeNotices> changeNotices_;
    LockTable locks_;
};

}  // namespace brindle::sdk
