"""Each remote method: its request's arguments checked, the handler called, the result checked
and turned into the reply's keys. Every function takes the connection's session state and the
Request and returns (reply keys, payload)."""

import errno
import logging

from .calls import call_handler
from .errors import DARWIN_ERRNO, WireError, einval, eio, errno_of
from .listings import POSITION_MASK, cookie_for
from .records import I64, U32, Changes, Item, item_record, statfs_reply, wire_text
from .request import valid_name

log = logging.getLogger("brindle_server")

# Reads and writes carry at most this much: what one FUSE request moves.
MAX_TRANSFER = 1 << 20
# Entries per listing call when the client names no number, and at most.
DEFAULT_ENTRIES = 128
MAX_ENTRIES = 4096
OPEN_WRITE = 2

NO_REPLY_KEYS = ({}, b"")


def _refused(darwin_name, message):
    return WireError(DARWIN_ERRNO[darwin_name], message)


async def ping(session, request):
    return NO_REPLY_KEYS


async def synchronize(session, request):
    await call_handler(session.fs.synchronize, request.integer("sync_flags", 0, U32, default=0))
    return NO_REPLY_KEYS


async def get_root_attributes(session, request):
    item = await call_handler(session.fs.get_root_attributes)
    record = item_record(item, request.method, name="/")
    record["parent_id"] = record["node_id"]
    return {"root_attrs": record}, b""


async def statfs(session, request):
    return statfs_reply(await call_handler(session.fs.statfs), request.method), b""


async def get_attributes(session, request):
    node_id = request.node()
    item = await call_handler(session.fs.get_attributes, node_id)
    return {"item_attrs": item_record(item, request.method, node_id=node_id)}, b""


async def lookup(session, request):
    parent_id, name = request.node("parent_id"), request.entry_name()
    item = await call_handler(session.fs.lookup, parent_id, name)
    return {"lookup_item": item_record(item, request.method, parent_id=parent_id, name=name)}, b""


async def _created(session, request, handler, *arguments):
    parent_id, name = request.node("parent_id"), request.entry_name()
    item = await call_handler(handler, parent_id, name, *arguments)
    return {"item_attrs": item_record(item, request.method, parent_id=parent_id, name=name)}, b""


def _mode(request):
    return request.i64("mode") & 0o7777


async def create_file(session, request):
    return await _created(session, request, session.fs.create_file, _mode(request))


async def create_directory(session, request):
    return await _created(session, request, session.fs.create_directory, _mode(request))


async def create_symlink(session, request):
    target = request.string("link_target")
    if not target or "\0" in target:
        raise einval(f"{request.method}: a link target is not empty and holds no NUL")
    return await _created(session, request, session.fs.create_symlink, target)


async def _removed(session, request, handler):
    parent_id, name = request.node("parent_id"), request.entry_name()
    await call_handler(handler, parent_id, name)
    return NO_REPLY_KEYS


async def remove_file(session, request):
    return await _removed(session, request, session.fs.remove_file)


async def remove_directory(session, request):
    return await _removed(session, request, session.fs.remove_directory)


async def rename(session, request):
    parent_id, name = request.node("parent_id"), request.entry_name()
    new_parent_id, new_name = request.node("new_parent_id"), request.entry_name("new_name")
    await call_handler(session.fs.rename, parent_id, name, new_parent_id, new_name)
    return NO_REPLY_KEYS


def _requested_time(request, prefix):
    seconds_key, nanoseconds_key = f"set_{prefix}_time_sec", f"set_{prefix}_time_nsec"
    if not request.has(seconds_key) and not request.has(nanoseconds_key):
        return None
    seconds, nanoseconds = request.i64(seconds_key), request.i64(nanoseconds_key)
    if not 0 <= nanoseconds <= 999_999_999:
        raise einval(f"{request.method}: \"{nanoseconds_key}\" is {nanoseconds}, not from 0 to 999999999")
    return seconds * 10**9 + nanoseconds


async def set_attributes(session, request):
    node_id = request.node()
    changes = Changes(access_ns=_requested_time(request, "access"), modify_ns=_requested_time(request, "modify"),
                      birth_ns=_requested_time(request, "birth"))
    if request.has("set_mode"):
        changes.mode = request.integer("set_mode", 0, U32) & 0o7777
    if request.has("set_uid"):
        changes.uid = request.integer("set_uid", 0, U32)
    if request.has("set_gid"):
        changes.gid = request.integer("set_gid", 0, U32)
    if request.has("set_size"):
        changes.size = request.u64("set_size")
        if changes.size > I64[1]:
            raise _refused("EFBIG", f"{request.method}: a size of {changes.size} bytes is too large")
    item = await call_handler(session.fs.set_attributes, node_id, changes)
    return {"item_attrs": item_record(item, request.method, node_id=node_id)}, b""


async def readlink(session, request):
    target = await call_handler(session.fs.readlink, request.node())
    return {"link_target": wire_text(target, request.method, "link target")}, b""


async def open_(session, request):
    node_id, modes = request.node(), request.integer("open_modes", 0, U32)
    if modes & OPEN_WRITE and session.options.readonly:
        raise _refused("EROFS", f"{request.method}: the file system is read-only")
    await call_handler(session.fs.open, node_id, modes)
    session.opened.add(node_id)
    return NO_REPLY_KEYS


async def close(session, request):
    node_id, keeping = request.node(), request.integer("keeping_modes", 0, U32, default=0)
    await call_handler(session.fs.close, node_id, keeping)
    if keeping == 0:
        session.opened.discard(node_id)
    return NO_REPLY_KEYS


def _offset(request):
    offset = request.u64("offset")
    if offset > I64[1]:
        raise einval(f"{request.method}: offset {offset} is past the largest file")
    return offset


async def read(session, request):
    node_id, offset = request.node(), _offset(request)
    length = min(request.u64("length"), MAX_TRANSFER)
    data = await call_handler(session.fs.read, node_id, offset, length)
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise eio(f"{request.method}: the handler returned {type(data).__name__}, not bytes")
    if len(data) > length:
        raise eio(f"{request.method}: the handler returned {len(data)} bytes when asked for {length}")
    return {}, bytes(data)


async def write(session, request):
    node_id, offset = request.node(), _offset(request)
    data = request.payload
    if request.has("length"):
        data = data[:request.u64("length")]
    # A longer write is answered as a short one: the client writes the rest again.
    data = data[:MAX_TRANSFER]
    written = await call_handler(session.fs.write, node_id, offset, data)
    if written is None:
        written = len(data)
    if isinstance(written, bool) or not isinstance(written, int) or not 0 <= written <= len(data):
        raise eio(f"{request.method}: the handler returned {written!r}, not a byte count from 0 to {len(data)}")
    return {"write_size": written}, b""


async def open_directory(session, request):
    node_id = request.node()
    await call_handler(session.fs.open_directory, node_id)
    handle = session.directories.open(node_id)
    if handle is None:
        raise _refused("EMFILE", f"{request.method}: this connection holds too many open directories")
    return {"handle_id": handle}, b""


async def close_directory(session, request):
    node_id, handle = request.node(), request.u64("handle_id")
    if not session.directories.close(handle, node_id):
        raise _refused("EBADF", f"{request.method}: unknown directory handle {handle}")
    return {"handle_id": 0}, b""


async def enumerate_directory(session, request):
    """A listing from cookie 0 is taken whole and its first page served; later pages come from
    the listing kept for the handle. An entry is served as the handler gave it only on the call
    that took the listing; otherwise it is looked up again, and skipped if it is gone. Without a
    handle every call takes the listing anew and the cookie is a plain position."""
    parent_id = request.node("parent_id")
    handle, cookie = request.u64("handle_id", default=0), request.u64("cookie", default=0)
    wanted = request.u64("max_entries", default=0)
    limit = min(wanted, MAX_ENTRIES) if wanted else DEFAULT_ENTRIES
    if handle and session.directories.node_of(handle) != parent_id:
        raise _refused("EBADF", f"{request.method}: unknown directory handle {handle}")
    if not handle and cookie > POSITION_MASK:
        raise einval(f"{request.method}: cookie {cookie} was never given for this directory")
    position = cookie & POSITION_MASK
    generation = cookie >> 32 if handle else 0
    entries = session.directories.listing(handle, generation) if handle and cookie else None
    fresh = entries is None
    if fresh:
        entries = await _take_listing(session, request.method, parent_id)
        if handle:
            generation = session.directories.begin(handle, entries)
    records = []
    while position < len(entries) and len(records) < limit:
        name, item = entries[position]
        position += 1
        if item is None or not fresh:
            try:
                item = await call_handler(session.fs.lookup, parent_id, name)
            except OSError as error:
                if errno_of(error) == errno.ENOENT:
                    continue
                raise
        record = item_record(item, request.method, parent_id=parent_id, name=name)
        record["next_cookie"] = cookie_for(generation, position)
        records.append(record)
    return {"dir_items": records}, b""


async def _take_listing(session, method, parent_id):
    """The handler's entries as (name, Item or None), without those no client can be sent."""
    listed = await call_handler(session.fs.enumerate_directory, parent_id)
    if not isinstance(listed, (list, tuple)):
        raise eio(f"{method}: the handler returned {type(listed).__name__}, not a list or an iterator of entries")
    entries, left_out = [], 0
    for index, entry in enumerate(listed):
        if isinstance(entry, Item):
            name = entry.name
        elif isinstance(entry, str):
            name, entry = entry, None
        else:
            raise eio(f"{method}: entry {index} is {type(entry).__name__}, not an Item or a name")
        if not isinstance(name, str):
            raise eio(f"{method}: entry {index} is an Item without a name")
        if name in (".", ".."):
            continue
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            left_out += 1
            continue
        if not valid_name(name):
            left_out += 1
            continue
        entries.append((name, entry))
    if left_out:
        log.warning("server left %d entries out of the listing of node %d: their names are not UTF-8 or not "
                    "single names", left_out, parent_id)
    return entries


def _xattr_name(request):
    name = request.string("xattr_name", default="")
    if "\0" in name:
        raise einval(f"{request.method}: an extended attribute's name holds no NUL")
    return name


async def list_xattrs(session, request):
    node_id = request.node()
    names = await call_handler(session.fs.list_xattrs, node_id)
    if not isinstance(names, (list, tuple)):
        raise eio(f"{request.method}: the handler returned {type(names).__name__}, not a list of names")
    sendable = []
    for name in names:
        try:
            sendable.append(wire_text(name, request.method, "extended attribute name"))
        except WireError:
            if isinstance(name, str):
                log.warning("server left an extended attribute of node %d out: its name is not UTF-8", node_id)
                continue
            raise
    return {"xattr_names": sendable}, b""


async def get_xattr(session, request):
    value = await call_handler(session.fs.get_xattr, request.node(), _xattr_name(request))
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise eio(f"{request.method}: the handler returned {type(value).__name__}, not bytes")
    return {}, bytes(value)


async def set_xattr(session, request):
    node_id, name = request.node(), _xattr_name(request)
    flags = request.integer("xattr_flags", -(2**31), 2**31 - 1, default=0)
    await call_handler(session.fs.set_xattr, node_id, name, request.payload, flags)
    return NO_REPLY_KEYS


async def remove_xattr(session, request):
    await call_handler(session.fs.remove_xattr, request.node(), _xattr_name(request))
    return NO_REPLY_KEYS


METHODS = {
    "ping": ping, "synchronize": synchronize, "get_root_attributes": get_root_attributes, "statfs": statfs,
    "get_attributes": get_attributes, "lookup": lookup, "enumerate_directory": enumerate_directory,
    "create_file": create_file, "create_directory": create_directory, "create_symlink": create_symlink,
    "remove_file": remove_file, "remove_directory": remove_directory, "rename": rename,
    "set_attributes": set_attributes, "open": open_, "open_directory": open_directory, "close": close,
    "close_directory": close_directory, "read": read, "write": write, "readlink": readlink,
    "list_xattrs": list_xattrs, "get_xattr": get_xattr, "set_xattr": set_xattr, "remove_xattr": remove_xattr,
}
CHANGING = {"create_file", "create_directory", "create_symlink", "remove_file", "remove_directory", "rename",
            "set_attributes", "write", "set_xattr", "remove_xattr"}
XATTRS = {"list_xattrs", "get_xattr", "set_xattr", "remove_xattr"}
