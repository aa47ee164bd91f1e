"""The path layer: handlers take paths ("/", "/notes/todo.txt") and the SDK keeps the table of
node ids for them. Subclass PathFileSystem and override what the file system can do; the rest
answers ENOSYS. Handlers may be `async def` or plain (plain ones run in a thread pool)."""

import dataclasses
import errno
import posixpath

from .calls import call_handler, current_call
from .errors import DARWIN_ERRNO, WireError, einval
from .nodes import NodeFileSystem
from .records import DIRECTORY, Attributes, Item, StatFS, attributes_of, wire_text

ROOT_ID = 1
# Longer names are refused before a handler sees them, as a local file system refuses them.
NAME_MAX = 255


def _not_implemented():
    return OSError(errno.ENOSYS, "not implemented by this server")


class PathFileSystem:
    """Attributes are Attributes or os.stat_result; a handle is whatever open() returns, handed
    back to read, write, truncate and release for that client's opens of the file."""

    def getattr(self, path):
        """-> Attributes or os.stat_result of the object at `path` (not following a link);
        OSError(ENOENT) when there is none."""
        raise _not_implemented()

    def readdir(self, path):
        """-> the directory's entries: names, or (name, attributes) pairs, as a list or any
        iterator."""
        raise _not_implemented()

    def read(self, path, offset, size, handle):
        raise _not_implemented()

    def write(self, path, offset, data, handle):
        """-> bytes written (None: all)."""
        raise _not_implemented()

    def create(self, path, mode):
        """Makes an empty regular file; -> its attributes, or None to have getattr asked."""
        raise _not_implemented()

    def mkdir(self, path, mode):
        """-> attributes or None, as create."""
        raise _not_implemented()

    def symlink(self, path, target):
        """-> attributes or None, as create."""
        raise _not_implemented()

    def readlink(self, path):
        raise _not_implemented()

    def unlink(self, path):
        raise _not_implemented()

    def rmdir(self, path):
        raise _not_implemented()

    def rename(self, old, new):
        raise _not_implemented()

    def chmod(self, path, mode):
        raise _not_implemented()

    def chown(self, path, uid, gid):
        """uid or gid None: leave it."""
        raise _not_implemented()

    def truncate(self, path, size, handle):
        raise _not_implemented()

    def utimens(self, path, access_ns, modify_ns):
        """Nanoseconds since 1970; None: leave that time."""
        raise _not_implemented()

    async def open(self, path, modes):
        """modes: 1 read, 2 write. -> a handle, or None."""

    async def release(self, path, handle):
        """The client's last close of what open() returned."""

    def statfs(self):
        return StatFS()

    async def sync(self):
        pass

    def listxattr(self, path):
        raise _not_implemented()

    def getxattr(self, path, name):
        """-> bytes; OSError(ENODATA) when there is no such attribute."""
        raise _not_implemented()

    def setxattr(self, path, name, value, flags):
        """flags: 2 create only, 4 replace only."""
        raise _not_implemented()

    def removexattr(self, path, name):
        raise _not_implemented()


def implements_xattrs(fs):
    return type(fs).getxattr is not PathFileSystem.getxattr


@dataclasses.dataclass
class _Node:
    path: str
    type: str
    opens: int = 0
    # Set once the object lost its name while a client held it open: it is answered from here.
    detached: Attributes | None = None


@dataclasses.dataclass
class _Open:
    handle: object
    modes: int


def _child(path, name):
    if len(name.encode()) > NAME_MAX:
        raise OSError(errno.ENAMETOOLONG, f"a name has at most {NAME_MAX} bytes")
    return "/" + name if path == "/" else path + "/" + name


class PathNodes(NodeFileSystem):
    """A PathFileSystem served through the wire layer. A path keeps its node id while it names
    an object of the same type; ids are never reused. A renamed directory takes its subtree's
    ids along."""

    def __init__(self, fs):
        self.fs = fs
        self._nodes = {ROOT_ID: _Node("/", "directory")}
        self._ids = {"/": ROOT_ID}
        self._next_id = ROOT_ID + 1
        self._opens = {}  # (connection, node id) -> _Open

    # -- the table ----------------------------------------------------------------------------

    def _node(self, node_id):
        node = self._nodes.get(node_id)
        if node is not None:
            return node
        method = current_call().method
        if not ROOT_ID <= node_id < self._next_id:
            raise einval(f"{method}: node {node_id} was never issued by this server")
        raise WireError(DARWIN_ERRNO["ENOENT"], f"{method}: node {node_id} has been removed")

    def _path(self, node_id):
        node = self._node(node_id)
        if node.detached is not None:
            raise WireError(DARWIN_ERRNO["ENOENT"], f"{current_call().method}: node {node_id} has been removed")
        return node.path

    def _directory(self, node_id):
        """The path of a directory node. Nothing is asked beneath anything else, so that a
        handler joining paths never reaches through a symbolic link."""
        node = self._node(node_id)
        if node.type != "directory":
            raise WireError(DARWIN_ERRNO["ENOTDIR"], f"{current_call().method}: node {node_id} is not a directory")
        return self._path(node_id)

    def _record(self, path, attributes):
        """The node id of `path`, which now holds an object with these attributes."""
        node_id = self._ids.get(path)
        if node_id is not None and self._nodes[node_id].type == attributes.type:
            return node_id
        if node_id is not None:
            self._forget(path, None)
        node_id = self._next_id
        self._next_id += 1
        self._nodes[node_id] = _Node(path, attributes.type)
        self._ids[path] = node_id
        return node_id

    def _forget(self, path, frozen):
        """`path` and everything beneath it lost their names; an open node keeps `frozen`."""
        prefix = path + "/"
        for gone in [p for p in self._ids if p == path or p.startswith(prefix)]:
            node_id = self._ids.pop(gone)
            node = self._nodes[node_id]
            if node.opens:
                node.detached = frozen or Attributes(type=node.type, mode=0, link_count=0)
            else:
                del self._nodes[node_id]

    def _moved(self, old, new):
        self._forget(new, None)
        prefix = old + "/"
        for path in [p for p in self._ids if p == old or p.startswith(prefix)]:
            node_id = self._ids.pop(path)
            moved = new + path[len(old):]
            self._nodes[node_id].path = moved
            self._ids[moved] = node_id

    def _item(self, method, path, attributes):
        attributes = attributes_of(attributes, method)
        parent = posixpath.dirname(path)
        return Item(self._record(path, attributes), attributes, name=posixpath.basename(path) or "/",
                    parent_id=self._ids.get(parent, ROOT_ID))

    async def _attributes(self, path):
        return attributes_of(await call_handler(self.fs.getattr, path), current_call().method)

    def _handle(self, node_id):
        held = self._opens.get((current_call().connection, node_id))
        return held.handle if held else None

    # -- the wire's methods -----------------------------------------------------------------------

    async def get_root_attributes(self):
        return Item(ROOT_ID, await self._attributes("/"), name="/", parent_id=ROOT_ID)

    async def get_attributes(self, node_id):
        node = self._node(node_id)
        if node.detached is not None:
            return Item(node_id, node.detached, name=posixpath.basename(node.path))
        return self._item("get_attributes", node.path, await self._attributes(node.path))

    async def lookup(self, parent_id, name):
        path = _child(self._directory(parent_id), name)
        return self._item("lookup", path, await self._attributes(path))

    async def enumerate_directory(self, node_id):
        path = self._directory(node_id)
        entries = await call_handler(self.fs.readdir, path)
        if not isinstance(entries, (list, tuple)):
            return entries  # refused by the caller, with what it was
        listed = []
        for entry in entries:
            if isinstance(entry, tuple) and len(entry) == 2 and isinstance(entry[0], str):
                name, attributes = entry
                try:
                    name.encode("utf-8")
                except UnicodeEncodeError:
                    listed.append(name)  # left out by the caller, counted
                    continue
                item = self._item("enumerate_directory", _child(path, name), attributes)
                item.name = name
                listed.append(item)
            else:
                listed.append(entry)
        return listed

    async def _created(self, method, handler, parent_id, name, argument):
        path = _child(self._directory(parent_id), name)
        attributes = await call_handler(handler, path, argument)
        if attributes is None:
            attributes = await self._attributes(path)
        return self._item(method, path, attributes)

    async def create_file(self, parent_id, name, mode):
        return await self._created("create_file", self.fs.create, parent_id, name, mode)

    async def create_directory(self, parent_id, name, mode):
        return await self._created("create_directory", self.fs.mkdir, parent_id, name, mode)

    async def create_symlink(self, parent_id, name, target):
        return await self._created("create_symlink", self.fs.symlink, parent_id, name, target)

    async def _removed(self, handler, parent_id, name):
        path = _child(self._directory(parent_id), name)
        node_id = self._ids.get(path)
        frozen = None
        if node_id is not None and self._nodes[node_id].opens:
            frozen = await self._attributes(path)
            frozen = dataclasses.replace(frozen, link_count=0)
        await call_handler(handler, path)
        self._forget(path, frozen)

    async def remove_file(self, parent_id, name):
        await self._removed(self.fs.unlink, parent_id, name)

    async def remove_directory(self, parent_id, name):
        await self._removed(self.fs.rmdir, parent_id, name)

    async def rename(self, parent_id, name, new_parent_id, new_name):
        old, new = _child(self._directory(parent_id), name), _child(self._directory(new_parent_id), new_name)
        await call_handler(self.fs.rename, old, new)
        if old != new:
            self._moved(old, new)

    async def set_attributes(self, node_id, changes):
        path = self._path(node_id)
        if changes.mode is not None:
            await call_handler(self.fs.chmod, path, changes.mode)
        if changes.uid is not None or changes.gid is not None:
            await call_handler(self.fs.chown, path, changes.uid, changes.gid)
        if changes.size is not None:
            await call_handler(self.fs.truncate, path, changes.size, self._handle(node_id))
        if changes.access_ns is not None or changes.modify_ns is not None:
            await call_handler(self.fs.utimens, path, changes.access_ns, changes.modify_ns)
        return self._item("set_attributes", path, await self._attributes(path))

    async def readlink(self, node_id):
        return wire_text(await call_handler(self.fs.readlink, self._path(node_id)), "readlink", "link target")

    async def open(self, node_id, modes):
        node = self._node(node_id)
        key = (current_call().connection, node_id)
        held = self._opens.get(key)
        if held and held.modes | modes == held.modes:
            return
        wanted = modes | (held.modes if held else 0)
        handle = await call_handler(self.fs.open, self._path(node_id), wanted)
        if held:
            await call_handler(self.fs.release, node.path, held.handle)
        else:
            node.opens += 1
        self._opens[key] = _Open(handle, wanted)

    async def close(self, node_id, keeping_modes):
        if keeping_modes:
            return
        held = self._opens.pop((current_call().connection, node_id), None)
        if held is None:
            return
        node = self._nodes[node_id]
        node.opens -= 1
        if not node.opens and node.detached is not None:
            del self._nodes[node_id]
        await call_handler(self.fs.release, node.path, held.handle)

    def _contents(self, node_id):
        """The path of a node whose contents are read or written; a directory has none."""
        node = self._node(node_id)
        if node.type == DIRECTORY:
            raise OSError(errno.EISDIR, "a directory is read by listing it")
        return node.path

    async def read(self, node_id, offset, length):
        return await call_handler(self.fs.read, self._contents(node_id), offset, length, self._handle(node_id))

    async def write(self, node_id, offset, data):
        return await call_handler(self.fs.write, self._contents(node_id), offset, data, self._handle(node_id))

    async def statfs(self):
        return await call_handler(self.fs.statfs)

    async def synchronize(self, flags):
        await call_handler(self.fs.sync)

    async def list_xattrs(self, node_id):
        return await call_handler(self.fs.listxattr, self._path(node_id))

    async def get_xattr(self, node_id, name):
        return await call_handler(self.fs.getxattr, self._path(node_id), name)

    async def set_xattr(self, node_id, name, value, flags):
        await call_handler(self.fs.setxattr, self._path(node_id), name, value, flags)

    async def remove_xattr(self, node_id, name):
        await call_handler(self.fs.removexattr, self._path(node_id), name)
