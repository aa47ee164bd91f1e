#pragma once

#include "host/fuse/requests/kernel_reply.h"
#include "host/fuse/requests/operation_context.h"
#include "platform/foundation/error.h"
#include "platform/fskit/item_attributes.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>

namespace brindle::host {

// Who made a request: objects it creates on a mount other users reach become theirs.
struct Caller {
    uid_t uid = 0;
    gid_t gid = 0;
};

// One request from the kernel on its way to the volume and back: every answer goes out through
// it, at most once, and every module error becomes its Linux errno here.
class KernelRequest {
public:
    using ItemPtr = std::shared_ptr<BrindleItem>;

    // Starts the request's reply deadline, which answers EIO through `reply` when it runs out.
    KernelRequest(std::shared_ptr<OperationContext> context, std::shared_ptr<KernelReply> reply, Caller caller);

    const std::shared_ptr<OperationContext>& context() const { return context_; }
    const Caller& caller() const { return caller_; }
    // When the request's bound runs out; none when it has none.
    std::optional<std::chrono::steady_clock::time_point> until() const { return until_; }

    // The generation the request works on, chosen by the first call that needs one (this, or
    // itemOrFail): the connected one, waited for within the request's bound while the connection
    // is being replaced. Null, after answering EIO, when none came.
    const VolumeGeneration* generationOrFail() const;
    // The chosen generation and its volume; only once generationOrFail or itemOrFail succeeded.
    const VolumeGeneration& generation() const;
    BrindleVolume& volume() const { return *generation().volume; }

    // Runs `answer` with the reply unless the request was already answered; true when it ran.
    bool deliver(const std::function<void(KernelReply& reply)>& answer) const;
    void fail(int linuxErrno) const;
    void fail(const std::optional<foundation::Error>& error) const;
    // Answers with the error, or with success when there is none.
    void finish(const std::optional<foundation::Error>& error) const;
    // Whether nobody waits for the answer any more: the kernel interrupted the request, or it was
    // answered already (by its bound).
    bool givenUp() const;
    void replyAttributes(uint64_t inode, const std::optional<fskit::FSItemAttributes>& attributes,
                         const std::optional<foundation::Error>& error) const;
    // Attributes the kernel may keep for `timeout` seconds rather than the mount's attribute timeout.
    void replyAttributes(uint64_t inode, const fskit::FSItemAttributes& attributes, double timeout) const;

    // The item behind an inode the kernel names, on the request's generation; answers and gives
    // null when there is none (ESTALE) or no generation came. Finds an inode from an earlier
    // connection again.
    ItemPtr itemOrFail(uint64_t inode) const;
    // A name from the kernel, or none after answering EILSEQ when it is not UTF-8: the wire carries
    // names as JSON strings, so such a name cannot reach the server.
    std::optional<fskit::FSFileName> nameOrFail(const char* name) const;

private:
    std::shared_ptr<OperationContext> context_;
    std::shared_ptr<KernelReply> reply_;
    Caller caller_;
    std::shared_ptr<PendingReply> pending_;
    std::optional<std::chrono::steady_clock::time_point> until_;
    // Chosen by the first call that needs it; copies made afterwards share the choice.
    mutable CurrentVolume::Generation generation_;
};

// Every attribute the volume has: what each entry and attribute reply carries.
const fskit::FSItemGetAttributesRequest& allAttributes();

}  // namespace brindle::host
