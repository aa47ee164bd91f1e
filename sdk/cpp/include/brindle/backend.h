#pragma once

#include "brindle/errors.h"
#include "brindle/records.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::sdk {

// What a backend keeps for a file that one connection holds open: made by Backend::open, kept by
// the SDK from that connection's first open to its last close (or its end), and let go then. A
// backend derives its own from it, e.g. to hold a descriptor or keep an unlinked object alive.
class OpenFile {
public:
    virtual ~OpenFile() = default;
};

// The same for a directory between open_directory and close_directory.
class OpenDirectory {
public:
    virtual ~OpenDirectory() = default;
};

// The request a backend method runs for.
class Call {
public:
    // What the connections hold open; the SDK's own tables answer.
    class Holdings {
    public:
        virtual std::shared_ptr<OpenFile> openFile(uint64_t connection, NodeId node) const = 0;
        virtual std::shared_ptr<OpenDirectory> openDirectory(uint64_t connection, NodeId node) const = 0;

    protected:
        ~Holdings() = default;
    };

    Call(const Holdings& holdings, uint64_t connection, std::string_view method)
        : holdings_(holdings), connection_(connection), method_(method) {}

    // Names the client's connection for as long as it lasts; never reused.
    uint64_t connection() const { return connection_; }
    // The remote method's wire name ("lookup").
    std::string_view method() const { return method_; }
    // What this connection holds open on `node`, as the backend made it; null when it holds nothing.
    std::shared_ptr<OpenFile> openFile(NodeId node) const { return holdings_.openFile(connection_, node); }
    std::shared_ptr<OpenDirectory> openDirectory(NodeId node) const {
        return holdings_.openDirectory(connection_, node);
    }
    template <typename T>
    std::shared_ptr<T> openFileAs(NodeId node) const {
        return std::dynamic_pointer_cast<T>(openFile(node));
    }
    template <typename T>
    std::shared_ptr<T> openDirectoryAs(NodeId node) const {
        return std::dynamic_pointer_cast<T>(openDirectory(node));
    }

private:
    const Holdings& holdings_;
    const uint64_t connection_;
    const std::string_view method_;
};

// Where listDirectory puts a directory's names. The SDK keeps them packed, makes the cookies and
// pages through them, so that a listing lists each name once however the directory changes
// meanwhile. "." and ".." are passed over; a name that is not UTF-8 or not a single entry name is
// left out (and logged), since no client could be sent it.
class Listing {
public:
    virtual void add(std::string_view name) = 0;

protected:
    ~Listing() = default;
};

// Finds the entries of one page of a listing, name by name, in order. A failure leaves the entry
// out of the page: an object removed since the listing began is not listed.
using EntryLookup = std::function<Result<Item>(const std::string& name)>;

// Extensions the SDK carries out for any backend from the methods it has already; listing one in
// Capabilities::extensions is all a backend does to offer it.
namespace extension {
// create_file opens the new file too, through the backend's open.
inline constexpr std::string_view createOpens = "create_opens";
// open_directory answers with the directory's record too, through the backend's getAttributes.
inline constexpr std::string_view openDirectoryRecord = "open_directory_record";
// Other clients' changes handed out through wait_for_changes; the SDK records them itself.
inline constexpr std::string_view changeNotices = "change_notices";
// Atomic appends, which the SDK cannot make from other methods: a backend that lists this
// implements Backend::append.
inline constexpr std::string_view append = "append";
// flock and byte-range locks held across clients; the SDK keeps them in a table of its own, so
// programs working on the backend's files directly neither see them nor are held back by them.
inline constexpr std::string_view locks = "locks";
// Replies to creates, removes and renames carry the records of the directories they changed, and
// replies to writes the file's, through the backend's getAttributes.
inline constexpr std::string_view postOpRecords = "post_op_records";
// open_directory answers with the listing's first batch too, through the backend's listDirectory,
// and lets the handle go where that batch is the whole listing.
inline constexpr std::string_view listingInOpen = "listing_in_open";
// Change notices cover changes made behind the server's back too, which the backend tells through
// OutsideChanges, so that clients may cache for long. Advertised only beside change_notices: a
// backend lists it only while it watches what it serves.
inline constexpr std::string_view exportWatched = "export_watched";
// Clients tell which nodes they no longer hold, through Backend::forget, so that a backend that
// keeps a record of every node it handed out can let records go.
inline constexpr std::string_view forget = "forget";
}  // namespace extension

// A change the backend saw that no request of the server made: a program working on its files
// directly, another server on the same store.
struct OutsideChange {
    struct Entry {
        NodeId parent;
        std::string name;
    };
    // Nodes whose attributes or contents changed (a directory's contents: its listing).
    std::vector<NodeId> nodes;
    // Names that appeared, went or now name another object; one that is not a valid entry name
    // (names.h) is left out, since no client could have it.
    std::vector<Entry> entries;
};

// Where a backend tells of outside changes; every client that listens for change notices hears of
// them. Safe from any thread, also the backend's own; when no client listens, or change_notices
// is not advertised, a call costs a lock and no more.
class OutsideChanges {
public:
    // `knownTo`: a connection that already knows of the change (its own request made the object
    // change the same way), which is not told.
    virtual void changed(const OutsideChange& change, std::optional<uint64_t> knownTo = std::nullopt) = 0;
    // Too much changed to say what: every listening client drops what it cached.
    virtual void everythingChanged() = 0;
    // Whether any client listens now, so that a backend may skip working out what changed.
    virtual bool listened() const = 0;

protected:
    ~OutsideChanges() = default;
};

// What the file system offers beyond reading; the session file tells clients.
struct Capabilities {
    // Every change is answered EROFS before the backend is asked.
    bool readOnly = false;
    // Without them the extended-attribute methods answer ENOTSUP before the backend is asked.
    bool xattrs = false;
    // The protocol extensions this backend implements; the handshake advertises them unless the
    // server's settings withhold one.
    std::vector<std::string> extensions{};
};

// A file system served over the protocol: one method per remote method, its arguments checked and
// decoded by the SDK, its result checked and encoded. A method fails by returning an Error; one
// that throws is answered EIO, logged, and the connection goes on. Unless a method says otherwise,
// its default answers ENOSYS, and it may run at the same time as any other method, also for the
// same node and from the same connection: the SDK serialises nothing, so a backend guards what
// its methods share.
class Backend {
public:
    virtual ~Backend() = default;

    // Asked when the server starts.
    virtual Capabilities capabilities() const { return {}; }
    // Called once the server listens, before the first client, from the thread that started it
    // (after a daemon's detach, so a backend starts its own threads here). `changes` stays valid
    // until stopping() returns. Default: nothing.
    virtual void serving(OutsideChanges& changes);
    // Called once when the server stops, after its last client; a backend stops telling of changes
    // and joins its threads. Default: nothing.
    virtual void stopping();
    // Whether `node` was ever handed out (a removed node's id included). An item whose node was
    // not is answered EIO. By default every id but 0 counts as issued.
    virtual bool issued(NodeId node) const { return node != 0; }

    // Answers at once; default: success.
    virtual Result<void> ping(const Call& call);
    // Makes what was written durable; default: success (nothing to flush).
    virtual Result<void> synchronize(const Call& call, uint32_t flags);
    // The node the volume is mounted at; its name is sent as "/" and its parent as itself.
    virtual Result<Item> getRootAttributes(const Call& call);
    // Default: nothing known (zeros).
    virtual Result<StatFS> statfs(const Call& call);

    // The item must be `node`'s own. Its name and parent are where the node was last seen.
    virtual Result<Item> getAttributes(const Call& call, NodeId node);
    // Applies what `changes` holds, then answers the node's item as getAttributes does.
    virtual Result<Item> setAttributes(const Call& call, NodeId node, const AttributeChanges& changes);

    // `name` is a valid entry name (UTF-8, not empty, no "/", not "." or ".."), as for every
    // method below that takes one. ENOENT when there is no such entry.
    virtual Result<Item> lookup(const Call& call, NodeId parent, const std::string& name);
    // A new empty file, refused with EEXIST when the name is taken. `mode` holds permission bits.
    virtual Result<Item> createFile(const Call& call, NodeId parent, const std::string& name, uint32_t mode);
    // The same for a client that asked create_file to open the file with `modes` too (only where
    // extension::createOpens is listed). A backend that opens as it creates returns what open
    // would have, and saves finding the file again; with none, the SDK calls open as for an open.
    // Default: createFile, and no OpenFile.
    struct CreatedFile {
        Item item;
        std::shared_ptr<OpenFile> file;
    };
    virtual Result<CreatedFile> createOpenFile(const Call& call, NodeId parent, const std::string& name, uint32_t mode,
                                               uint32_t modes);
    virtual Result<Item> createDirectory(const Call& call, NodeId parent, const std::string& name, uint32_t mode);
    // `target` is not empty and holds no NUL; it is stored, never resolved.
    virtual Result<Item> createSymlink(const Call& call, NodeId parent, const std::string& name,
                                       const std::string& target);
    // Removes a name that is not a directory (EISDIR otherwise).
    virtual Result<void> removeFile(const Call& call, NodeId parent, const std::string& name);
    // Removes an empty directory (ENOTDIR, ENOTEMPTY otherwise).
    virtual Result<void> removeDirectory(const Call& call, NodeId parent, const std::string& name);
    // Moves an entry, replacing what `newName` named, as rename(2) does.
    virtual Result<void> rename(const Call& call, NodeId parent, const std::string& name, NodeId newParent,
                                const std::string& newName);
    // The symbolic link's target, which must be UTF-8.
    virtual Result<std::string> readlink(const Call& call, NodeId node);

    // Called at each open_directory before the SDK hands out a handle; what it returns is kept
    // with the handle until close_directory or the connection's end (Call::openDirectory). Default:
    // ENOTDIR unless getAttributes says the node is a directory.
    virtual Result<std::shared_ptr<OpenDirectory>> openDirectory(const Call& call, NodeId node);
    // Called at close_directory of a handle this connection holds, before the SDK lets it go;
    // default: success.
    virtual Result<void> closeDirectory(const Call& call, NodeId node);
    // Every name in the directory, in any order. Called when a listing starts (cookie 0), and
    // again only when a listing kept for paging had to be let go.
    virtual Result<void> listDirectory(const Call& call, NodeId node, Listing& names);
    // How the pages of `directory`'s listings find their entries: called once per page, and the
    // function it returns is called for the page's names one after another, on one thread.
    // Default: each name goes through lookup.
    virtual Result<EntryLookup> listingLookup(const Call& call, NodeId directory);

    // Called when a connection opens `node` with modes it does not yet hold it with (kOpenRead,
    // kOpenWrite; `modes` includes those it holds). What it returns replaces what the connection
    // held and is kept until the connection's last close of the node (Call::openFile). Write
    // modes never reach a read-only backend. Default: an OpenFile that holds nothing.
    virtual Result<std::shared_ptr<OpenFile>> open(const Call& call, NodeId node, uint32_t modes);
    // Called at every close; `keepingModes` are the modes the connection still holds open (0: it
    // closed the node, and the SDK lets its OpenFile go after this call). Default: success.
    virtual Result<void> close(const Call& call, NodeId node, uint32_t keepingModes);
    // Fills `buffer` from `offset`; fewer bytes only at the end of the file. Returns the count.
    // Concurrent reads and writes of one node may overlap, as pread and pwrite may.
    virtual Result<size_t> read(const Call& call, NodeId node, uint64_t offset, std::span<char> buffer);
    // Writes `data` at `offset`; returns how many bytes were written (fewer is a short write).
    virtual Result<size_t> write(const Call& call, NodeId node, uint64_t offset, std::string_view data);
    // Writes `data` at the end of the file as one step that no other writer of the node comes
    // between, also one outside the server. Asked only for a write that carries "append", which
    // clients send only where the backend lists extension::append among its extensions.
    virtual Result<Appended> append(const Call& call, NodeId node, std::string_view data);

    // The names of the node's extended attributes; one that is not UTF-8 is left out (and logged).
    virtual Result<std::vector<std::string>> listXattrs(const Call& call, NodeId node);
    // ENOATTR when the node has no such attribute. Names hold no NUL.
    virtual Result<std::string> getXattr(const Call& call, NodeId node, const std::string& name);
    // `flags`: kXattrCreate, kXattrReplace or neither.
    virtual Result<void> setXattr(const Call& call, NodeId node, const std::string& name, std::string_view value,
                                  int32_t flags);
    virtual Result<void> removeXattr(const Call& call, NodeId node, const std::string& name);

    // A client no longer holds `node`, which it was handed `count` times (by lookup, the creates,
    // and listing entries) since it last forgot it. Asked only where the backend lists
    // extension::forget. A backend that keeps a record of every node counts the same handouts
    // itself, for all clients together, and may let the record go when its count is back to 0 and
    // nothing else needs it; a count it cannot match (above its own, an unknown node) it passes
    // over, as it does the root. Default: nothing.
    virtual void forget(const Call& call, NodeId node, uint64_t count);

    // A client went: everything it held open has been let go. Called once per connection, after
    // its last request; default: nothing.
    virtual void connectionEnded(uint64_t connection);
};

}  // namespace brindle::sdk
