#pragma once

#include "module/BrindleSessionDescriptor.h"
#include "module/rpc/BrindleRPCClient.h"
#include "module/volume/BrindleItem.h"
#include "platform/foundation/error.h"
#include "platform/fskit/directory_entry_packer.h"
#include "platform/fskit/file_data_buffer.h"
#include "platform/fskit/file_name.h"
#include "platform/fskit/item_attributes.h"
#include "platform/fskit/statfs_result.h"
#include "platform/fskit/task_options.h"
#include "platform/fskit/volume.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brindle {

// The FSKit volume of one loaded session. Every operation is served by remote calls through
// the session's client; replies decided by an argument check come at once on the caller's
// thread, all others from the client's callback queue.
//
// Members live in one source file per concern: tracking, lifecycle, attributes, enumeration,
// namespace, contents and extended attributes.
class BrindleVolume : public fskit::FSVolume, public std::enable_shared_from_this<BrindleVolume> {
public:
    using ItemPtr = std::shared_ptr<BrindleItem>;
    using FSItemPtr = std::shared_ptr<fskit::FSItem>;
    using SetAttributesRequestPtr = std::shared_ptr<fskit::FSItemSetAttributesRequest>;
    using PackerPtr = std::shared_ptr<fskit::FSDirectoryEntryPacker>;
    using BufferPtr = std::shared_ptr<fskit::FSMutableFileDataBuffer>;

    using ErrorReply = std::function<void(std::optional<foundation::Error> error)>;
    using UnmountReply = std::function<void()>;
    using ItemReply = std::function<void(ItemPtr item, std::optional<foundation::Error> error)>;
    using ItemNameReply =
        std::function<void(ItemPtr item, std::optional<fskit::FSFileName> name, std::optional<foundation::Error> error)>;
    using CreatedFileReply = std::function<void(ItemPtr item, std::optional<fskit::FSFileName> name, bool opened,
                                                std::optional<foundation::Error> error)>;
    using NameReply = std::function<void(std::optional<fskit::FSFileName> name, std::optional<foundation::Error> error)>;
    using NamesReply =
        std::function<void(std::optional<std::vector<fskit::FSFileName>> names, std::optional<foundation::Error> error)>;
    using AttributesReply =
        std::function<void(std::optional<fskit::FSItemAttributes> attributes, std::optional<foundation::Error> error)>;
    using SuccessReply = std::function<void(bool success, std::optional<foundation::Error> error)>;
    using VerifierReply = std::function<void(uint64_t verifier, std::optional<foundation::Error> error)>;
    using CountReply = std::function<void(uint64_t count, std::optional<foundation::Error> error)>;
    using DataReply = std::function<void(std::optional<std::string> data, std::optional<foundation::Error> error)>;

    // Open modes of FSKit.
    static constexpr uint32_t openModeRead = 1;
    static constexpr uint32_t openModeWrite = 2;

    // Set policies of FSKit's extended-attribute operation.
    static constexpr uint64_t xattrPolicyAlwaysSet = 0;
    static constexpr uint64_t xattrPolicyMustCreate = 1;
    static constexpr uint64_t xattrPolicyMustReplace = 2;
    static constexpr uint64_t xattrPolicyDelete = 3;

    static constexpr uint64_t enumerationBatchSize = 128;

    BrindleVolume(const BrindleVolume&) = delete;
    BrindleVolume& operator=(const BrindleVolume&) = delete;

    // --- lifecycle, capabilities and statistics ---
    static std::shared_ptr<BrindleVolume> initWithSession(std::shared_ptr<const BrindleSessionDescriptor> session,
                                                          std::shared_ptr<BrindleRPCClient> rpcClient, bool readonly);

    const std::shared_ptr<const BrindleSessionDescriptor>& session() const { return session_; }
    const std::shared_ptr<BrindleRPCClient>& rpcClient() const { return rpcClient_; }
    const ItemPtr& rootItem() const { return rootItem_; }
    bool isReadonlyVolume() const { return readonlyVolume_; }

    fskit::FSVolumeSupportedCapabilities supportedVolumeCapabilities() const;
    static constexpr uint32_t maximumLinkCount() { return 1; }
    static constexpr uint32_t maximumNameLength() { return 255; }
    static constexpr uint32_t maximumFileSizeInBits() { return 63; }
    static constexpr bool restrictsOwnershipChanges() { return true; }
    static constexpr bool truncatesLongNames() { return false; }
    static foundation::Error readOnlyError();
    static foundation::Error notSupportedError();

    void activateWithOptions(const fskit::FSTaskOptions& options, ItemReply reply);
    void mountWithOptions(const fskit::FSTaskOptions& options, ErrorReply reply);
    void unmountWithReplyHandler(UnmountReply reply);
    void deactivateWithOptions(int64_t options, ErrorReply reply);
    void synchronizeWithFlags(int64_t flags, ErrorReply reply);
    // Blocks the caller until the server answers, at most 5 seconds.
    fskit::FSStatFSResult volumeStatistics();
    // The same, or none when the server did not answer in time or failed: zeros are FSKit's word
    // for that, a host may need to tell it apart from an empty volume.
    std::optional<fskit::FSStatFSResult> fetchedVolumeStatistics();
    // Runs `handler` once, on the callback queue, when the connection the volume is served over
    // fails after its handshake (at once when it already has); a disconnect asked for is no loss.
    using ConnectionLostHandler = std::function<void(foundation::Error error)>;
    void setConnectionLostHandler(ConnectionLostHandler handler);

    // --- item tracking ---
    void trackItem(const ItemPtr& item);
    void untrackItem(const ItemPtr& item);
    ItemPtr trackedItemForNodeID(uint64_t nodeID) const;
    std::vector<ItemPtr> snapshotTrackedItems() const;
    ItemPtr canonicalItemForItem(const ItemPtr& item);
    ItemPtr canonicalTrackedItem(const ItemPtr& item);
    void cleanupTrackedItems();

    // Where an item stands and what it is, read at one moment: what a host needs to name it.
    struct ItemPlace {
        uint64_t nodeID = 0;
        uint64_t parentNodeID = 0;
        std::string name;
        ItemType itemType = ItemType::None;
    };
    static ItemPlace placeOfItem(const BrindleItem& item);
    // False while the item's attributes are placeholders for what the server has not told yet.
    static bool hasLoadedAttributes(const BrindleItem& item);
    // When the object was made, as the server tells it; none before its attributes are loaded or
    // when the server tells none (zero).
    static std::optional<timespec> birthTimeOf(const BrindleItem& item);
    // The mode a file created without write permission for its owner still waits for, if any.
    static std::optional<uint32_t> pendingFinalModeOf(const BrindleItem& item);
    // Once that mode was applied by other means (through a newer connection).
    static void clearPendingFinalMode(BrindleItem& item);

    static void applyItemAttributesFromItem(const BrindleItem& source, BrindleItem& target);
    static uint32_t defaultModeForNewItemType(ItemType itemType);
    static uint32_t effectiveModeForItem(const BrindleItem& item);

    // --- attributes ---
    static bool isAttributeWanted(uint64_t attribute, const std::optional<fskit::FSItemGetAttributesRequest>& request);
    static fskit::FSItemAttributes attributesForItem(const BrindleItem& item,
                                                     const std::optional<fskit::FSItemGetAttributesRequest>& request);
    void refreshAttributesForItem(const ItemPtr& item, SuccessReply reply);
    void getAttributes(const fskit::FSItemGetAttributesRequest& request, const FSItemPtr& item, AttributesReply reply);
    void setAttributes(const SetAttributesRequestPtr& request, const FSItemPtr& item, AttributesReply reply);
    static void applySetAttributesRequest(const SetAttributesRequestPtr& request, const ItemPtr& item,
                                          bool creatingNewItem, AttributesReply reply);

    // --- directory enumeration ---
    void enumerateDirectory(const FSItemPtr& directory, uint64_t cookie, uint64_t verifier,
                            const std::optional<fskit::FSItemGetAttributesRequest>& attributes, PackerPtr packer,
                            VerifierReply reply);
    void enumerateDirectoryItem(const ItemPtr& directory, uint64_t handleID, uint64_t cookie, uint64_t verifier,
                                const std::optional<fskit::FSItemGetAttributesRequest>& attributes, PackerPtr packer,
                                uint64_t batchSize, VerifierReply reply);
    // Opens the directory afresh before `then`, where it is open here but the server closed the
    // handle its open gave.
    void keepDirectoryOpenOnServer(const ItemPtr& directory, std::function<void()> then);
    // Opens the directory afresh, where the server closed the handle its open gave, and lists from there.
    void reopenDirectoryItem(const ItemPtr& directory, uint64_t cookie, uint64_t verifier,
                             const std::optional<fskit::FSItemGetAttributesRequest>& attributes, PackerPtr packer,
                             VerifierReply reply);
    // Opens the directory on the server again and hands `then` the handle it is open with: the new
    // one, or one another caller took meanwhile (the spare is closed); 0 and the error on failure.
    void reopenDirectoryOnServer(const ItemPtr& directory, std::function<void(uint64_t, std::optional<foundation::Error>)> then);
    // Packs `entries` from `from` on; false once the packer is full, the resume point noted.
    bool packEntries(const ItemPtr& directory, const std::vector<ItemPtr>& entries, size_t from, uint64_t cookie,
                     uint64_t verifier, const std::optional<fskit::FSItemGetAttributesRequest>& attributes,
                     fskit::FSDirectoryEntryPacker& packer);
    static uint64_t nextDirectoryVerifierForItem(BrindleItem& item);
    // The verifier a listing of the directory is held to now.
    static uint64_t currentVerifierOfDirectory(const BrindleItem& directory);
    // After a change to the directory's contents: bumps its verifier and marks its cached attributes
    // (times, link count) as no longer the server's.
    void invalidateDirectoryEnumerationForNodeID(uint64_t nodeID);
    // Success carries the directory's attributes where the open's reply brought its record, and
    // none where it did not.
    using OpenedDirectoryReply = std::function<void(std::optional<fskit::FSItemAttributes> attributes,
                                                    std::optional<foundation::Error> error)>;
    void openDirectoryItem(const ItemPtr& directory, OpenedDirectoryReply reply);
    // Whether a directory's open brings its attributes, so that nobody need ask for them beside it.
    bool opensDirectoriesWithAttributes();
    void closeDirectoryItem(const ItemPtr& directory, ErrorReply reply);

    // The attributes a change's reply brought for `item`, and how long ago, where they came less
    // than `maxAge` ago and nothing changed the item since; each is handed out once.
    struct ChangedAttributes {
        fskit::FSItemAttributes attributes;
        std::chrono::steady_clock::duration age;
    };
    std::optional<ChangedAttributes> takeChangedAttributes(const FSItemPtr& item,
                                                           std::chrono::steady_clock::duration maxAge);
    // After others changed the node, or anything: what a change's reply said is no longer known to hold.
    void dropChangedAttributesOfNodeID(uint64_t nodeID);
    void dropAllChangedAttributes();

    // --- namespace ---
    void lookupItemNamed(const fskit::FSFileName& name, const FSItemPtr& directory, ItemNameReply reply);
    void reclaimItem(const FSItemPtr& item, ErrorReply reply);
    void readSymbolicLink(const FSItemPtr& item, NameReply reply);
    void createItemNamed(const fskit::FSFileName& name, int64_t type, const FSItemPtr& directory,
                         const SetAttributesRequestPtr& attributes, ItemNameReply reply);
    // A regular file, opened with `modes` by the create itself where the server can; one it did
    // not open is answered with `opened` false, for the caller to open as usual.
    void createOpenedFileNamed(const fskit::FSFileName& name, const FSItemPtr& directory,
                               const SetAttributesRequestPtr& attributes, uint32_t modes, CreatedFileReply reply);
    void createSymbolicLinkNamed(const fskit::FSFileName& name, const FSItemPtr& directory,
                                 const SetAttributesRequestPtr& attributes, const fskit::FSFileName& linkContents,
                                 ItemNameReply reply);
    void createLinkToItem(const FSItemPtr& item, const fskit::FSFileName& name, const FSItemPtr& directory,
                          NameReply reply);
    void removeItem(const FSItemPtr& item, const fskit::FSFileName& name, const FSItemPtr& directory, ErrorReply reply);
    void renameItem(const FSItemPtr& item, const FSItemPtr& sourceDirectory, const fskit::FSFileName& sourceName,
                    const fskit::FSFileName& destinationName, const FSItemPtr& destinationDirectory,
                    const FSItemPtr& overItem, NameReply reply);

    // --- open, close, read and write ---
    static constexpr bool isOpenCloseInhibited() { return false; }
    void openItem(const FSItemPtr& item, uint32_t modes, ErrorReply reply);
    // A directory's open, answered as openDirectoryItem answers; ENOTDIR for any other item.
    void openDirectory(const FSItemPtr& item, OpenedDirectoryReply reply);
    void closeItem(const FSItemPtr& item, uint32_t keepingModes, ErrorReply reply);
    void readFromFile(const FSItemPtr& item, int64_t offset, uint64_t length, BufferPtr buffer, CountReply reply);
    void writeContents(std::string data, const FSItemPtr& item, int64_t offset, CountReply reply);
    // Whether the server puts appends at the end of file itself (appendContents).
    bool appendsAtServer() const;
    void appendContents(std::string data, const FSItemPtr& item, AppendReply reply);

    // --- extended attributes ---
    bool xattrOperationsInhibited() const;
    void getXattrNamed(const fskit::FSFileName& name, const FSItemPtr& item, DataReply reply);
    void setXattrNamed(const fskit::FSFileName& name, std::optional<std::string> value, const FSItemPtr& item,
                       uint64_t policy, ErrorReply reply);
    void listXattrsOfItem(const FSItemPtr& item, NamesReply reply);

    // --- locks held across clients, where the server offers them ---
    // Whether the current connection's server keeps locks for every client; without, locks are
    // the host's own.
    bool locksAcrossClients() const;
    // Takes, changes or releases at once; EAGAIN while another owner holds a conflicting lock.
    void setLock(const FSItemPtr& item, const BrindleLock& lock, ErrorReply reply);
    void testLock(const FSItemPtr& item, const BrindleLock& lock, LockTestReply reply);

private:
    struct ConstructionKey {};
    void createNamed(const fskit::FSFileName& name, int64_t type, const FSItemPtr& directory,
                     const SetAttributesRequestPtr& attributes, std::optional<uint32_t> openModes,
                     CreatedFileReply reply);
    void activateRootItemFromItem(const BrindleItem& serverRoot);
    // Takes a record that a change's reply brought for a tracked item of the same type.
    void adoptChangedRecord(const ItemPtr& record);

public:
    // Reachable only through initWithSession, which owns the key.
    BrindleVolume(ConstructionKey, fskit::FSVolumeIdentifier volumeID, fskit::FSFileName volumeName,
                  std::shared_ptr<const BrindleSessionDescriptor> session, std::shared_ptr<BrindleRPCClient> rpcClient,
                  bool readonly);

private:

    std::shared_ptr<const BrindleSessionDescriptor> session_;
    std::shared_ptr<BrindleRPCClient> rpcClient_;
    bool readonlyVolume_;

    mutable std::mutex trackedItemsMutex_;
    std::unordered_map<uint64_t, ItemPtr> trackedItems;
    ItemPtr rootItem_;
};

}  // namespace brindle
