"""What handlers return and receive: attributes, items, statistics, attribute changes; and how
the SDK turns them into the wire's item records after checking them."""

import dataclasses
import os
import stat

from .errors import eio

FILE = "file"
DIRECTORY = "directory"
SYMLINK = "symlink"
FIFO = "fifo"
CHAR_DEVICE = "char_device"
BLOCK_DEVICE = "block_device"
SOCKET = "socket"
TYPES = (FILE, DIRECTORY, SYMLINK, FIFO, CHAR_DEVICE, BLOCK_DEVICE, SOCKET)

_TYPE_OF_MODE = {
    stat.S_IFREG: FILE, stat.S_IFDIR: DIRECTORY, stat.S_IFLNK: SYMLINK, stat.S_IFIFO: FIFO,
    stat.S_IFCHR: CHAR_DEVICE, stat.S_IFBLK: BLOCK_DEVICE, stat.S_IFSOCK: SOCKET,
}

U32 = 2**32 - 1
U64 = 2**64 - 1
I64 = (-(2**63), 2**63 - 1)


@dataclasses.dataclass
class Attributes:
    """One object's attributes. Times are nanoseconds since 1970; `birth_ns` None means the
    modification time. `mode` holds the permission bits (file-type bits are ignored)."""

    type: str
    mode: int
    size: int = 0
    link_count: int = 1
    uid: int = 0
    gid: int = 0
    alloc_size: int | None = None
    access_ns: int = 0
    modify_ns: int = 0
    change_ns: int = 0
    birth_ns: int | None = None

    @classmethod
    def from_stat(cls, st):
        """The attributes an os.stat_result reports (os.lstat, os.fstat)."""
        return cls(
            type=_TYPE_OF_MODE.get(stat.S_IFMT(st.st_mode), FILE), mode=stat.S_IMODE(st.st_mode),
            size=st.st_size, link_count=st.st_nlink, uid=st.st_uid, gid=st.st_gid,
            alloc_size=st.st_blocks * 512, access_ns=st.st_atime_ns, modify_ns=st.st_mtime_ns,
            change_ns=st.st_ctime_ns)


@dataclasses.dataclass
class Item:
    """One object as the wire names it. `name` and `parent_id` may be left None where the request
    already says them (lookup, create, listing); the SDK fills them in."""

    node_id: int
    attributes: Attributes
    name: str | None = None
    parent_id: int | None = None


@dataclasses.dataclass
class StatFS:
    block_size: int = 4096
    io_size: int = 1 << 20
    blocks: int = 0
    free_blocks: int = 0
    available_blocks: int = 0
    files: int = 0
    free_files: int = 0


@dataclasses.dataclass
class Changes:
    """The attributes a set_attributes request changes; None leaves one as it is. Times are
    nanoseconds since 1970."""

    mode: int | None = None
    uid: int | None = None
    gid: int | None = None
    size: int | None = None
    access_ns: int | None = None
    modify_ns: int | None = None
    birth_ns: int | None = None


def attributes_of(value, method):
    """`value` as Attributes (an os.stat_result is taken too), or the EIO naming what was wrong."""
    if isinstance(value, os.stat_result):
        return Attributes.from_stat(value)
    if not isinstance(value, Attributes):
        raise eio(f"{method}: the handler returned {type(value).__name__} where attributes belong")
    return value


def _integer(value, low, high, method, field):
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise eio(f"{method}: the handler's {field} is {value!r}, not a whole number from {low} to {high}")
    return value


def _time_keys(record, prefix, ns, method):
    ns = _integer(ns, I64[0] * 10**9, I64[1], method, prefix + " time")
    seconds, nanoseconds = divmod(ns, 10**9)
    record[prefix + "_time_sec"] = seconds
    record[prefix + "_time_nsec"] = nanoseconds


def wire_text(value, method, what):
    """`value` if it is a string the wire can carry (UTF-8, so no lone surrogates)."""
    if not isinstance(value, str):
        raise eio(f"{method}: the handler's {what} is {type(value).__name__}, not a string")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise eio(f"{method}: the handler's {what} {value!r} is not UTF-8") from None
    return value


def item_record(item, method, node_id=None, parent_id=None, name=None):
    """The item record of `item`. node_id, parent_id and name are what the request fixes: a node
    id must match, a parent id and a name take the place of the item's own."""
    if not isinstance(item, Item):
        raise eio(f"{method}: the handler returned {type(item).__name__}, not an Item")
    item_id = _integer(item.node_id, 1, U64, method, "node id")
    if node_id is not None and item_id != node_id:
        raise eio(f"{method}: the handler answered for node {item_id} when asked about node {node_id}")
    attributes = attributes_of(item.attributes, method)
    if attributes.type not in TYPES:
        raise eio(f"{method}: the handler's type {attributes.type!r} is none of {', '.join(TYPES)}")
    parent = parent_id if parent_id is not None else item.parent_id
    record = {
        "node_id": item_id,
        "parent_id": _integer(parent if parent is not None else 0, 0, U64, method, "parent id"),
        "name": wire_text(name if name is not None else (item.name or ""), method, "name"),
        "type": attributes.type,
        "mode": _integer(attributes.mode, 0, U32, method, "mode") & 0o7777,
        "link_count": _integer(attributes.link_count, 0, U32, method, "link count"),
        "uid": _integer(attributes.uid, 0, U32, method, "uid"),
        "gid": _integer(attributes.gid, 0, U32, method, "gid"),
        "size": _integer(attributes.size, 0, U64, method, "size"),
    }
    alloc = attributes.alloc_size if attributes.alloc_size is not None else (attributes.size + 4095) // 4096 * 4096
    record["alloc_size"] = _integer(alloc, 0, U64, method, "allocated size")
    _time_keys(record, "modify", attributes.modify_ns, method)
    _time_keys(record, "change", attributes.change_ns, method)
    _time_keys(record, "access", attributes.access_ns, method)
    _time_keys(record, "birth", attributes.birth_ns if attributes.birth_ns is not None else attributes.modify_ns,
               method)
    return record


def statfs_reply(stats, method):
    if isinstance(stats, os.statvfs_result):
        stats = StatFS(block_size=stats.f_frsize, io_size=stats.f_bsize, blocks=stats.f_blocks,
                       free_blocks=stats.f_bfree, available_blocks=stats.f_bavail, files=stats.f_files,
                       free_files=stats.f_ffree)
    if not isinstance(stats, StatFS):
        raise eio(f"{method}: the handler returned {type(stats).__name__}, not StatFS")
    return {field.name: _integer(getattr(stats, field.name), 0, U64, method, field.name.replace("_", " "))
            for field in dataclasses.fields(StatFS)}
