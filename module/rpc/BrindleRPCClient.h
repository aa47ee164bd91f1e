#pragma once

#include "module/BrindleSessionDescriptor.h"
#include "module/rpc/BrindleRPCRequests.h"
#include "module/rpc/NodeReleases.h"
#include "module/rpc/ServerIdentity.h"
#include "module/rpc/SocketHandle.h"
#include "module/volume/BrindleItem.h"
#include "platform/dispatch/queues.h"
#include "platform/foundation/error.h"
#include "platform/fskit/file_data_buffer.h"

#include <boost/json.hpp>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace brindle {

using ResponseOnlyHandler =
    std::function<void(std::optional<boost::json::object> response, std::optional<foundation::Error> error)>;
using ReadyCompletion = std::function<void(std::optional<foundation::Error> error)>;
using SuccessReply = std::function<void(bool success, std::optional<foundation::Error> error)>;
using ItemReply = std::function<void(std::shared_ptr<BrindleItem> item, std::optional<foundation::Error> error)>;
// A created file's item, and whether the create opened it too.
using CreatedFileReply =
    std::function<void(std::shared_ptr<BrindleItem> item, bool opened, std::optional<foundation::Error> error)>;
using ItemsReply = std::function<void(std::optional<std::vector<std::shared_ptr<BrindleItem>>> items,
                                      std::optional<foundation::Error> error)>;
using StatisticsReply =
    std::function<void(std::optional<boost::json::object> statistics, std::optional<foundation::Error> error)>;
using CountReply = std::function<void(uint64_t count, std::optional<foundation::Error> error)>;
// The first batch of a listing that an open brought: its entries in listing order, and whether
// the server closed the handle because they are the whole listing.
struct FirstBatch {
    std::vector<std::shared_ptr<BrindleItem>> entries;
    bool handleClosed = false;
};
// An opened directory's handle (0 where the server closed it already), its record where the reply
// carried one that could be read, and the listing's first batch where it carried one that could.
using OpenedDirectoryReply =
    std::function<void(uint64_t handle, std::shared_ptr<BrindleItem> record, std::optional<FirstBatch> batch,
                       std::optional<foundation::Error> error)>;
using DataReply = std::function<void(std::optional<std::string> data, std::optional<foundation::Error> error)>;
// Where the server put an append: `written` bytes at `offset`, the file `size` bytes long after it.
struct AppendedBytes {
    uint64_t written = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};
using AppendReply =
    std::function<void(std::optional<AppendedBytes> appended, std::optional<foundation::Error> error)>;
using StringReply = std::function<void(std::optional<std::string> text, std::optional<foundation::Error> error)>;
using StringsReply =
    std::function<void(std::optional<std::vector<std::string>> strings, std::optional<foundation::Error> error)>;

// What other clients, or anything behind the server's back, changed since the last notice.
struct ChangeNotice {
    std::vector<uint64_t> nodes;
    std::vector<std::pair<uint64_t, std::string>> entries;  // parent node id, name
    // More changed than the server kept track of: everything cached may be stale.
    bool everything = false;
};
using ChangeNoticeReply =
    std::function<void(std::optional<ChangeNotice> notice, std::optional<foundation::Error> error)>;
// A lock as the "locks" extension carries it: `style` "posix" or "flock", `type` "read", "write"
// or "unlock"; `length` 0 reaches to the end of the file.
struct BrindleLock {
    std::string style;
    std::string type;
    uint64_t owner = 0;
    uint64_t start = 0;
    uint64_t length = 0;
    uint64_t pid = 0;
};
// The lock that conflicts, or none when none does.
using LockTestReply = std::function<void(std::optional<BrindleLock> conflicting, std::optional<foundation::Error> error)>;

// The module's one connection to the file-system server of a session: connection and handshake,
// request dispatch and reply delivery, reply judging, and one method per remote operation.
// Every method completes exactly once: on the socket's reader thread when a reply answers it, on
// the callback queue when a failure or a refusal does. A completion that runs on the reader may
// submit requests and may release a thread that waits for it, but must never itself wait for
// another reply of this client.
class BrindleRPCClient : public std::enable_shared_from_this<BrindleRPCClient> {
public:
    // The returned handle disconnects and joins the client's readers when the last copy goes;
    // queue work items and readers keep the client itself alive only as long as they run.
    // With `requiredIdentity`, a server that proves another identity is refused before the token.
    static std::shared_ptr<BrindleRPCClient> initWithSession(std::shared_ptr<const BrindleSessionDescriptor> session,
                                                             std::optional<ServerIdentity> requiredIdentity = std::nullopt);
    ~BrindleRPCClient();
    BrindleRPCClient(const BrindleRPCClient&) = delete;
    BrindleRPCClient& operator=(const BrindleRPCClient&) = delete;

    const BrindleSessionDescriptor& session() const { return *session_; }

    // Connection.
    void connectAndHandshakeWithReply(SuccessReply reply);
    void ensureReadyWithCompletion(ReadyCompletion completion);
    bool isConnected();
    // Whether the server of the current connection advertised `extension` in its accepted
    // handshake; false before one. Nothing of an extension is sent where this is false.
    bool serverSupports(std::string_view extension);
    // Every extension that server advertised.
    std::set<std::string> serverExtensions();
    // Who the server of the current connection proved to be; none before a socket connected.
    std::optional<ServerIdentity> serverIdentity();
    void disconnect();
    // `handler` runs once, on the callback queue, when the connection fails after its handshake was
    // accepted (at once when it already has); nothing else tells a caller that the client is spent.
    // A disconnect is asked for, and is not reported.
    using ConnectionLostHandler = std::function<void(foundation::Error error)>;
    void setConnectionLostHandler(ConnectionLostHandler handler);

    // `observer` sees every reply that answers a request of this client, with that request and the
    // reply's payload size, on the reader just before the request's completion. Set it before the
    // first request; it is for tools that hold a server's replies against the schema.
    using ExchangeObserver = std::function<void(const boost::json::object& request, const boost::json::object& reply,
                                                size_t payloadSize)>;
    void setExchangeObserver(ExchangeObserver observer);

    // Told of the changes this client sends to a node (a directory whose entries it changes, a
    // file it writes or whose attributes it sets): `changing` with the node before the change is
    // sent, and again once it ended unless `changed` gets the node's record that its reply brought.
    // That is only where the server advertised post_op_records, the record is the node's own and
    // well formed, and no other change of the node overlapped this one. Both run without the
    // client's lock, and before the change's completion.
    struct ChangedRecords {
        std::function<void(uint64_t nodeID)> changing;
        std::function<void(std::shared_ptr<BrindleItem> record)> changed;
    };
    void setChangedRecords(ChangedRecords observer);

    // Where the server advertised "forget": the nodes its replies hand out are counted, and a node
    // that nothing of this mount names any more is forgotten with that count, in a batch a second
    // later, unless `held` says the mount holds it again by then. `held` runs without the client's
    // lock, and without any lock of the caller of releaseNode.
    using NodeHeld = std::function<bool(uint64_t nodeID)>;
    void setNodeHeld(NodeHeld held);
    void releaseNode(uint64_t nodeID);

    // Submission.
    void performRequest(boost::json::object request, std::optional<std::string> payload,
                        std::shared_ptr<const void> directReadIntoOwner, void* buffer, uint64_t capacity,
                        ResponseHandler completion);
    void performRequest(boost::json::object request, std::optional<std::string> payload, ResponseHandler completion);
    void performRequest(boost::json::object request, ResponseOnlyHandler completion);
    void performRequest(boost::json::object request, std::shared_ptr<const void> directReadIntoOwner, void* buffer,
                        uint64_t capacity, ResponseOnlyHandler completion);

    // Reply judging and item records; stateless.
    static foundation::Error rpcErrorFromResponse(const boost::json::object& response, int defaultCode,
                                                  const std::string& defaultMessage);
    static void replyWithBooleanResponse(const boost::json::object& response, const std::string& defaultMessage,
                                         const SuccessReply& reply);
    static std::shared_ptr<BrindleItem> itemFromDictionary(const boost::json::object& record,
                                                           const std::optional<std::string>& defaultName,
                                                           std::optional<foundation::Error>* error);
    static uint32_t defaultModeForItemType(int64_t itemType);
    // The entries a listing's reply carries under "dir_items"; none, with the error, when one cannot be read.
    static std::optional<std::vector<std::shared_ptr<BrindleItem>>> itemsFromListing(
        const boost::json::object& response, std::optional<foundation::Error>* error);
    static timespec timespecWithSeconds(int64_t seconds, int64_t nanoseconds);

    // Remote methods.
    void pingWithReply(SuccessReply reply);
    void synchronizeWithFlags(uint32_t flags, SuccessReply reply);
    void fetchRootItemWithReply(ItemReply reply);
    void fetchVolumeStatisticsWithReply(StatisticsReply reply);
    void fetchAttributesForNodeID(uint64_t nodeID, uint64_t parentID, std::optional<std::string> name, ItemReply reply);
    void lookupItemNamed(const std::string& name, uint64_t parentID, ItemReply reply);
    void enumerateDirectoryWithParentID(uint64_t parentID, uint64_t handleID, uint64_t cookie, uint64_t verifier,
                                        uint64_t maxEntries, ItemsReply reply);
    void createFileNamed(const std::string& name, uint64_t parentID, int32_t mode, ItemReply reply);
    // Asks the create to open the file with `openModes` where the server advertised that it can;
    // elsewhere a plain create, answered as not opened.
    void createFileNamed(const std::string& name, uint64_t parentID, int32_t mode, uint32_t openModes,
                         CreatedFileReply reply);
    void createDirectoryNamed(const std::string& name, uint64_t parentID, int32_t mode, ItemReply reply);
    void createSymbolicLinkNamed(std::optional<std::string> name, uint64_t parentID, std::optional<std::string> target,
                                 ItemReply reply);
    void removeFileNamed(const std::string& name, uint64_t parentID, SuccessReply reply);
    void removeDirectoryNamed(const std::string& name, uint64_t parentID, SuccessReply reply);
    void renameItemNamed(const std::string& name, uint64_t fromParentID, const std::string& toNewName,
                         uint64_t toParentID, SuccessReply reply);
    void setAttributesForNodeID(uint64_t nodeID, uint64_t parentID, std::optional<std::string> name,
                                std::optional<boost::json::value> mode, std::optional<boost::json::value> uid,
                                std::optional<boost::json::value> gid, std::optional<boost::json::value> size,
                                std::optional<boost::json::value> accessTimeSec,
                                std::optional<boost::json::value> accessTimeNsec,
                                std::optional<boost::json::value> modifyTimeSec,
                                std::optional<boost::json::value> modifyTimeNsec,
                                std::optional<boost::json::value> birthTimeSec,
                                std::optional<boost::json::value> birthTimeNsec, ItemReply reply);
    void openItemWithNodeID(uint64_t nodeID, uint32_t modes, SuccessReply reply);
    void openDirectoryWithNodeID(uint64_t nodeID, CountReply reply);
    // The directory's record and the listing's first batch of at most `batchSize` entries (0: none)
    // come only from a server that advertised them, and never decide the open: without them, or
    // with ones that cannot be read, the handle comes alone. `name` is the record's default name.
    void openDirectoryWithRecordForNodeID(uint64_t nodeID, const std::string& name, uint64_t batchSize,
                                          OpenedDirectoryReply reply);
    void closeItemWithNodeID(uint64_t nodeID, uint32_t keepingModes, SuccessReply reply);
    void closeDirectoryWithNodeID(uint64_t nodeID, uint64_t handleID, CountReply reply);
    void readFileWithNodeID(uint64_t nodeID, uint64_t offset, uint64_t length, DataReply reply);
    void readFileWithNodeID(uint64_t nodeID, uint64_t offset, uint64_t length,
                            std::shared_ptr<fskit::FSMutableFileDataBuffer> intoBuffer, CountReply reply);
    void writeFileWithNodeID(uint64_t nodeID, uint64_t offset, std::string data, CountReply reply);
    // Only where the server advertised "append".
    void appendToFileWithNodeID(uint64_t nodeID, std::string data, AppendReply reply);
    void readSymbolicLinkWithNodeID(uint64_t nodeID, StringReply reply);
    void listXattrsForNodeID(uint64_t nodeID, StringsReply reply);
    void getXattrNamed(std::optional<std::string> name, uint64_t forNodeID, DataReply reply);
    void setXattrNamed(std::optional<std::string> name, uint64_t forNodeID, int32_t policy,
                       std::optional<std::string> value, SuccessReply reply);
    void removeXattrNamed(std::optional<std::string> name, uint64_t forNodeID, SuccessReply reply);
    // The long poll of change notices: answered once something changed or after about `waitMs`.
    // ENOTSUP without sending anything when the server did not advertise them.
    void waitForChanges(uint32_t waitMs, ChangeNoticeReply reply);
    // Extension "locks": ENOTSUP, without asking, from a server that did not advertise it. A
    // conflict is EAGAIN; nothing waits on the server.
    void setLockOnNodeID(uint64_t nodeID, const BrindleLock& lock, SuccessReply reply);
    void testLockOnNodeID(uint64_t nodeID, const BrindleLock& lock, LockTestReply reply);
    // Extension "forget": the nodes and, at the same places, how many times each was handed out
    // since it was last forgotten. Sent by the client itself for the nodes it releases.
    void forgetNodes(std::vector<uint64_t> nodeIDs, std::vector<uint64_t> counts, SuccessReply reply);

private:
    BrindleRPCClient(std::shared_ptr<const BrindleSessionDescriptor> session,
                     std::optional<ServerIdentity> requiredIdentity);
    struct Handle;
    class StateLock;

    // Connection ("Locked": with the client's lock held, through a StateLock).
    void ensureReadyLocked();
    // A connected socket and who its server proved to be.
    struct OpenedSocket {
        std::shared_ptr<SocketHandle> socket;
        ServerIdentity identity;
    };
    void openSocketOnWriterQueue(uint64_t openAttempt);     // writer queue
    foundation::Result<OpenedSocket> openSocket();           // writer queue
    foundation::Result<OpenedSocket> openUnixSocketFD();     // writer queue
    foundation::Result<int> openTCPSocketFD(std::string_view prefix);  // writer queue
    foundation::Result<OpenedSocket> openTLSSocketFD();      // writer queue
    void socketOpenedLocked(OpenedSocket opened, uint64_t openAttempt);
    void sendHandshakeRequestLocked();
    void handshakeReplyLocked(const boost::json::object& response);
    void notifyReadyWaitersWithErrorLocked(const std::optional<foundation::Error>& error);
    void dispatchReadyCompletion(ReadyCompletion completion, std::optional<foundation::Error> error);  // Locked
    void notifyConnectionLostLocked();
    void failConnectionWithError(const foundation::Error& error, uint64_t generation, bool force);
    void failConnectionLockedWithError(const foundation::Error& error, uint64_t generation, bool force);
    std::vector<std::thread> takeReaderThreads();

    // Dispatch.
    void submitLocked(std::shared_ptr<BrindleRPCOutboundRequest> request);
    void sendOutboundRequestLocked(const std::shared_ptr<BrindleRPCOutboundRequest>& request);
    void flushQueuedRequestsLocked();
    // Leaves the frames just listed for the hold timer to send; false where the timer could not be set.
    bool holdForCompanyLocked();
    void sendHeldFrames(const std::shared_ptr<SocketHandle>& socket);  // reader thread, when the timer rings
    enum class Writer { Caller, Reader, WriterQueue };
    void drainSendList(Writer writer);  // the thread holding the writer role, without the lock
    void serveWriterRole();             // the thread that took the writer role, without the lock
    void startReaderLoopForFD(std::shared_ptr<SocketHandle> socket, uint64_t generation);  // Locked
    void readerLoopForFD(const std::shared_ptr<SocketHandle>& socket, uint64_t generation);  // reader thread
    std::shared_ptr<framing::DirectReadSlot> directReadSlotForRequestID(uint64_t requestID);  // reader thread
    // Both run the request's completion on the reader thread.
    void deliverResponseDictionary(boost::json::object response, std::optional<std::string> payload);
    // Fails the one request whose reply could not be read; the connection goes on.
    void deliverUnreadableResponse(uint64_t requestID, foundation::Error error);
    // Removes the pending request that a reply (or an unreadable one) answers and hands back its
    // completion; the handshake's is judged here instead.
    ResponseHandler takeReplyHandler(uint64_t requestID, const boost::json::object* response,
                                     const foundation::Error* unreadable);
    void dispatchResponseHandler(ResponseHandler handler, std::optional<boost::json::object> response,
                                 std::optional<std::string> payload,
                                 std::optional<foundation::Error> error);  // Locked

    // Changes in flight, for what setChangedRecords promises.
    struct ChangeTicket {
        uint64_t nodeID = 0;
        std::string_view recordKey;  // empty: the reply brings no record of the node
        uint64_t sequence = 0;
        bool alone = false;  // no other change of the node was in flight when it was sent
    };
    ResponseHandler watchChanges(const boost::json::object& request, ResponseHandler completion);
    void changesEnded(const std::vector<ChangeTicket>& tickets, const std::optional<boost::json::object>& response);

    // Handed-out nodes, for "forget".
    void startNodeReleasesLocked();
    void countHandout(const BrindleItem& item);

    // Method shapes.
    // Whether the reply hands out the node it names, as lookups, creates and listings do.
    enum class Handout { none, counted };
    void performItemRequest(boost::json::object request, std::string_view resultKey, std::string defaultName,
                            std::string defaultMessage, ItemReply reply, Handout handout = Handout::none);
    void performBooleanRequest(boost::json::object request, std::string defaultMessage, SuccessReply reply);
    void performHandleRequest(boost::json::object request, std::string defaultMessage, CountReply reply);
    void performDataRequest(boost::json::object request, std::string defaultMessage, DataReply reply);

    // The client's lock. Every field below is read and written only with it held, except the
    // immutable session and required identity. No completion runs and no socket is read or written while it is held.
    // Lock order: this lock, then a direct-read slot's (the reader never takes this one while it
    // holds a slot's).
    std::mutex stateMutex;
    bool handshakeComplete = false;
    bool connectionInProgress = false;
    bool handshakeInProgress = false;
    bool establishedConnection = false;
    int socketFD = -1;
    std::shared_ptr<const BrindleSessionDescriptor> session_;
    const std::optional<ServerIdentity> requiredIdentity_;
    std::optional<ServerIdentity> connectedIdentity;
    uint64_t nextRequestID = 0;
    uint64_t connectionGeneration = 0;
    std::optional<foundation::Error> terminalConnectionError;
    // What the current connection's server advertised in its accepted handshake.
    std::set<std::string> advertisedExtensions;
    ConnectionLostHandler connectionLostHandler;
    ExchangeObserver exchangeObserver;
    ChangedRecords changedRecords;
    NodeHeld nodeHeld;
    // Set once, at an accepted handshake whose server advertised "forget"; read without the lock.
    std::atomic<std::shared_ptr<NodeReleases>> nodeReleases;
    struct ChangesOfNode {
        uint64_t inFlight = 0;
        uint64_t sent = 0;
    };
    std::unordered_map<uint64_t, ChangesOfNode> changesInFlight;
    bool lostByDisconnect = false;  // the terminal error is the disconnect's, which nobody needs telling of
    std::unordered_map<uint64_t, std::shared_ptr<BrindleRPCPendingRequest>> pendingRequests;
    std::deque<std::shared_ptr<BrindleRPCOutboundRequest>> queuedRequests;
    std::vector<ReadyCompletion> readyWaiters;
    // The current socket, owned together with its reader and the frames being written to it.
    std::shared_ptr<SocketHandle> connectedSocket;
    // Opens handed to the writer queue so far, and the one whose outcome is still wanted (0: none).
    uint64_t openAttempts = 0;
    uint64_t currentOpenAttempt = 0;
    // One reader per socket connected so far; those whose socket has ended are joined as new ones start.
    struct Reader {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::vector<Reader> readerThreads;
    // The handshake's reply is judged as it is matched, ahead of any failure that the reader
    // reports right after it (a server that refuses and hangs up at once).
    uint64_t handshakeRequestID = 0;
    // Frames of the current socket not yet written, in request-id order. One thread at a time
    // holds the writer role and drains the list with gathering writes; others only append.
    struct UnsentFrame {
        std::string json;
        std::shared_ptr<const std::string> binaryPayload;
    };
    std::vector<UnsentFrame> sendList;
    // A batch that a reader wrote in part (it never waits for room); the writer queue finishes it
    // before it takes anything from the send list. A failure drops it with the send list.
    struct PartlyWritten {
        std::vector<UnsentFrame> frames;
        size_t written = 0;
    };
    std::optional<PartlyWritten> unfinishedBatch;
    bool writerActive = false;
    // Frames wait in the send list, with no writer, for the current socket's hold timer.
    bool holdTimerSet = false;
    // Set by the send step when the thread holding the lock has just taken the writer role.
    bool writerClaimed = false;
    // Completions made due with the lock held, handed to the callback queue once it is released.
    std::vector<dispatch::WorkItem> completionsDue;

    dispatch::SerialQueue writerQueue{"org.orvel.rpc.writer"};
    dispatch::ConcurrentQueue& callbackQueue = dispatch::ConcurrentQueue::userInitiated();
};

}  // namespace brindle
