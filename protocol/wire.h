#pragma once

#include <array>
#include <string_view>

// Every method name and key of the protocol, written once; the module and the server share them.
namespace brindle::wire {

namespace method {
inline constexpr std::string_view handshake = "handshake";
inline constexpr std::string_view ping = "ping";
inline constexpr std::string_view synchronize = "synchronize";
inline constexpr std::string_view getRootAttributes = "get_root_attributes";
inline constexpr std::string_view statfs = "statfs";
inline constexpr std::string_view getAttributes = "get_attributes";
inline constexpr std::string_view lookup = "lookup";
inline constexpr std::string_view enumerateDirectory = "enumerate_directory";
inline constexpr std::string_view createFile = "create_file";
inline constexpr std::string_view createDirectory = "create_directory";
inline constexpr std::string_view createSymlink = "create_symlink";
inline constexpr std::string_view removeFile = "remove_file";
inline constexpr std::string_view removeDirectory = "remove_directory";
inline constexpr std::string_view rename = "rename";
inline constexpr std::string_view setAttributes = "set_attributes";
inline constexpr std::string_view open = "open";
inline constexpr std::string_view openDirectory = "open_directory";
inline constexpr std::string_view close = "close";
inline constexpr std::string_view closeDirectory = "close_directory";
inline constexpr std::string_view read = "read";
inline constexpr std::string_view write = "write";
inline constexpr std::string_view readlink = "readlink";
inline constexpr std::string_view listXattrs = "list_xattrs";
inline constexpr std::string_view getXattr = "get_xattr";
inline constexpr std::string_view setXattr = "set_xattr";
inline constexpr std::string_view removeXattr = "remove_xattr";
inline constexpr std::string_view waitForChanges = "wait_for_changes";
// Extension "locks".
inline constexpr std::string_view setLock = "set_lock";
inline constexpr std::string_view testLock = "test_lock";
// Extension "forget".
inline constexpr std::string_view forgetNodes = "forget_nodes";

// Every method, so that what the code knows can be held against the schema.
inline constexpr std::array all{
    handshake, ping, synchronize, getRootAttributes, statfs, getAttributes, lookup, enumerateDirectory,
    createFile, createDirectory, createSymlink, removeFile, removeDirectory, rename, setAttributes, open,
    openDirectory, close, closeDirectory, read, write, readlink, listXattrs, getXattr, setXattr, removeXattr,
    waitForChanges, setLock, testLock, forgetNodes,
};
}  // namespace method

namespace key {
// Envelope.
inline constexpr std::string_view method = "method";
inline constexpr std::string_view requestID = "request_id";
inline constexpr std::string_view ok = "ok";
inline constexpr std::string_view errnoCode = "errno";
inline constexpr std::string_view error = "error";
inline constexpr std::string_view payloadLength = "payload_length";

// Handshake.
inline constexpr std::string_view authToken = "auth_token";
inline constexpr std::string_view sessionID = "session_id";
inline constexpr std::string_view extensions = "extensions";

// Requests.
inline constexpr std::string_view nodeID = "node_id";
inline constexpr std::string_view parentID = "parent_id";
inline constexpr std::string_view name = "name";
inline constexpr std::string_view newParentID = "new_parent_id";
inline constexpr std::string_view newName = "new_name";
inline constexpr std::string_view mode = "mode";
inline constexpr std::string_view linkTarget = "link_target";
inline constexpr std::string_view syncFlags = "sync_flags";
inline constexpr std::string_view handleID = "handle_id";
inline constexpr std::string_view cookie = "cookie";
inline constexpr std::string_view verifier = "verifier";
inline constexpr std::string_view maxEntries = "max_entries";
inline constexpr std::string_view openModes = "open_modes";
inline constexpr std::string_view keepingModes = "keeping_modes";
inline constexpr std::string_view offset = "offset";
inline constexpr std::string_view length = "length";
inline constexpr std::string_view append = "append";
inline constexpr std::string_view xattrName = "xattr_name";
inline constexpr std::string_view xattrFlags = "xattr_flags";
inline constexpr std::string_view setMode = "set_mode";
inline constexpr std::string_view setUid = "set_uid";
inline constexpr std::string_view setGid = "set_gid";
inline constexpr std::string_view setSize = "set_size";
inline constexpr std::string_view setAccessTimeSec = "set_access_time_sec";
inline constexpr std::string_view setAccessTimeNsec = "set_access_time_nsec";
inline constexpr std::string_view setModifyTimeSec = "set_modify_time_sec";
inline constexpr std::string_view setModifyTimeNsec = "set_modify_time_nsec";
inline constexpr std::string_view setBirthTimeSec = "set_birth_time_sec";
inline constexpr std::string_view setBirthTimeNsec = "set_birth_time_nsec";
inline constexpr std::string_view waitMs = "wait_ms";
inline constexpr std::string_view lockOwner = "lock_owner";
inline constexpr std::string_view lockStyle = "lock_style";
inline constexpr std::string_view lockType = "lock_type";
inline constexpr std::string_view lockStart = "lock_start";
inline constexpr std::string_view lockLength = "lock_length";
inline constexpr std::string_view lockPid = "lock_pid";
inline constexpr std::string_view firstBatch = "first_batch";
inline constexpr std::string_view nodeIDs = "node_ids";
inline constexpr std::string_view counts = "counts";

// Results.
inline constexpr std::string_view rootAttrs = "root_attrs";
inline constexpr std::string_view itemAttrs = "item_attrs";
inline constexpr std::string_view lookupItem = "lookup_item";
inline constexpr std::string_view dirItems = "dir_items";
inline constexpr std::string_view writeSize = "write_size";
inline constexpr std::string_view writtenAt = "written_at";
inline constexpr std::string_view fileSize = "file_size";
inline constexpr std::string_view parentAttrs = "parent_attrs";
inline constexpr std::string_view newParentAttrs = "new_parent_attrs";
inline constexpr std::string_view xattrNames = "xattr_names";
inline constexpr std::string_view opened = "opened";
inline constexpr std::string_view handleClosed = "handle_closed";

// Change notices.
inline constexpr std::string_view changedNodes = "changed_nodes";
inline constexpr std::string_view changedEntryParents = "changed_entry_parents";
inline constexpr std::string_view changedEntryNames = "changed_entry_names";
inline constexpr std::string_view everythingChanged = "everything_changed";

// Statistics.
inline constexpr std::string_view blockSize = "block_size";
inline constexpr std::string_view ioSize = "io_size";
inline constexpr std::string_view blocks = "blocks";
inline constexpr std::string_view freeBlocks = "free_blocks";
inline constexpr std::string_view availableBlocks = "available_blocks";
inline constexpr std::string_view files = "files";
inline constexpr std::string_view freeFiles = "free_files";

// Item records.
inline constexpr std::string_view type = "type";
inline constexpr std::string_view nextCookie = "next_cookie";
inline constexpr std::string_view linkCount = "link_count";
inline constexpr std::string_view uid = "uid";
inline constexpr std::string_view gid = "gid";
inline constexpr std::string_view size = "size";
inline constexpr std::string_view allocSize = "alloc_size";
inline constexpr std::string_view modifyTimeSec = "modify_time_sec";
inline constexpr std::string_view modifyTimeNsec = "modify_time_nsec";
inline constexpr std::string_view changeTimeSec = "change_time_sec";
inline constexpr std::string_view changeTimeNsec = "change_time_nsec";
inline constexpr std::string_view accessTimeSec = "access_time_sec";
inline constexpr std::string_view accessTimeNsec = "access_time_nsec";
inline constexpr std::string_view birthTimeSec = "birth_time_sec";
inline constexpr std::string_view birthTimeNsec = "birth_time_nsec";

}  // namespace key

namespace key {
// Every key, for the same reason.
inline constexpr std::array all{
    method, requestID, ok, errnoCode, error, payloadLength, authToken, sessionID, extensions, nodeID,
    parentID, name, newParentID, newName, mode, linkTarget, syncFlags, handleID, cookie, verifier, maxEntries,
    openModes, keepingModes, offset, length, append, xattrName, xattrFlags, setMode, setUid, setGid, setSize,
    setAccessTimeSec, setAccessTimeNsec, setModifyTimeSec, setModifyTimeNsec, setBirthTimeSec,
    setBirthTimeNsec, rootAttrs, itemAttrs, lookupItem, dirItems, writeSize, writtenAt, fileSize, parentAttrs,
    newParentAttrs, xattrNames, opened,
    blockSize, ioSize,
    blocks, freeBlocks, availableBlocks, files, freeFiles, type, nextCookie, linkCount, uid, gid, size,
    allocSize, modifyTimeSec, modifyTimeNsec, changeTimeSec, changeTimeNsec, accessTimeSec, accessTimeNsec,
    birthTimeSec, birthTimeNsec, waitMs, changedNodes, changedEntryParents, changedEntryNames, everythingChanged,
    lockOwner, lockStyle, lockType, lockStart, lockLength, lockPid, firstBatch, handleClosed, nodeIDs, counts,
};
}  // namespace key

// The values of the lock keys.
namespace lock {
inline constexpr std::string_view posix = "posix";
inline constexpr std::string_view flock = "flock";
inline constexpr std::string_view read = "read";
inline constexpr std::string_view write = "write";
inline constexpr std::string_view unlock = "unlock";
}  // namespace lock

// The type strings of item records.
namespace type {
inline constexpr std::string_view file = "file";
inline constexpr std::string_view directory = "directory";
inline constexpr std::string_view symlink = "symlink";
inline constexpr std::string_view fifo = "fifo";
inline constexpr std::string_view charDevice = "char_device";
inline constexpr std::string_view blockDevice = "block_device";
inline constexpr std::string_view socket = "socket";

inline constexpr std::array all{file, directory, symlink, fifo, charDevice, blockDevice, socket};
}  // namespace type

}  // namespace brindle::wire
