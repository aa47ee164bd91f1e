"""A read-write file system held in memory, served on the layer that mirrors the wire: it hands
out node ids itself, so a file stays readable and writable through an open descriptor after its
name is gone. Files, directories, symbolic links and extended attributes; the contents go when
the server stops."""

import argparse
import errno
import os
import sys
import time

import brindle_server as bs

NAME_MAX = 255
XATTR_NAME_MAX = 255
XATTR_SIZE_MAX = 64 * 1024
LARGEST_FILE = 2**63 - 1
# Directories report a size as tmpfs does: 20 bytes an entry, "." and ".." included.
DIRECTORY_ENTRY_SIZE = 20
XATTR_CREATE, XATTR_REPLACE = 2, 4
# File data is kept in chunks of this size, and only those written to take memory.
CHUNK = 64 * 1024


class Node:
    def __init__(self, node_id, kind, mode, parent_id):
        now = time.time_ns()
        self.id, self.type, self.mode, self.parent_id = node_id, kind, mode, parent_id
        self.uid = self.gid = 0
        self.access_ns = self.modify_ns = self.change_ns = self.birth_ns = now
        self.links = 1
        self.children = {} if kind == bs.DIRECTORY else None
        self.subdirectories = 0
        # Chunk index -> CHUNK bytes. A chunk never written reads as zeros, so a hole, or a file
        # grown by truncate, costs nothing.
        self.chunks = {}
        self.size = 0
        self.target = ""
        self.xattrs = {}
        self.holders = set()  # connections that have it open

    def attributes(self):
        size = self.size
        if self.type == bs.DIRECTORY:
            size = DIRECTORY_ENTRY_SIZE * (len(self.children) + 2)
        elif self.type == bs.SYMLINK:
            size = len(self.target.encode())
        link_count = self.links
        if self.type == bs.DIRECTORY:
            link_count = self.subdirectories + (2 if self.links > 0 else 0)
        return bs.Attributes(type=self.type, mode=self.mode, size=size, link_count=link_count, uid=self.uid,
                             gid=self.gid, alloc_size=len(self.chunks) * CHUNK, access_ns=self.access_ns,
                             modify_ns=self.modify_ns, change_ns=self.change_ns, birth_ns=self.birth_ns)

    def item(self, name=None):
        return bs.Item(self.id, self.attributes(), name=name, parent_id=self.parent_id)

    def touch(self, modified=True):
        now = time.time_ns()
        self.change_ns = now
        if modified:
            self.modify_ns = now


def _failure(code, text):
    return OSError(code, text)


class Memory(bs.NodeFileSystem):
    """Every handler is `async def`: they run one at a time on the event loop, so the tree needs
    no lock."""

    def __init__(self, capacity, uid, gid):
        self.capacity = capacity
        self.used = 0
        self.next_id = 2
        self.nodes = {1: Node(1, bs.DIRECTORY, 0o755, 1)}
        self.root.uid, self.root.gid = uid, gid
        self.uid, self.gid = uid, gid

    @property
    def root(self):
        return self.nodes[1]

    # -- finding things -----------------------------------------------------------------------

    def node(self, node_id):
        node = self.nodes.get(node_id)
        if node is None:
            raise _failure(errno.ENOENT, f"no node {node_id}")
        return node

    def directory(self, node_id):
        node = self.node(node_id)
        if node.type != bs.DIRECTORY:
            raise _failure(errno.ENOTDIR, "not a directory")
        return node

    @staticmethod
    def checked(name):
        if len(name.encode()) > NAME_MAX:
            raise _failure(errno.ENAMETOOLONG, f"a name has at most {NAME_MAX} bytes")
        return name

    def child(self, directory, name):
        child_id = directory.children.get(self.checked(name))
        if child_id is None:
            raise _failure(errno.ENOENT, "no such file or directory")
        return self.nodes[child_id]

    def file(self, node_id):
        node = self.node(node_id)
        if node.type == bs.DIRECTORY:
            raise _failure(errno.EISDIR, "is a directory")
        if node.type != bs.FILE:
            raise _failure(errno.EINVAL, "not a regular file")
        return node

    # -- reading --------------------------------------------------------------------------------

    async def get_root_attributes(self):
        return self.root.item("/")

    async def get_attributes(self, node_id):
        return self.node(node_id).item()

    async def lookup(self, parent_id, name):
        return self.child(self.directory(parent_id), name).item(name)

    async def enumerate_directory(self, node_id):
        return [self.nodes[child_id].item(name) for name, child_id in self.directory(node_id).children.items()]

    async def readlink(self, node_id):
        node = self.node(node_id)
        if node.type != bs.SYMLINK:
            raise _failure(errno.EINVAL, "not a symbolic link")
        return node.target

    async def read(self, node_id, offset, length):
        node = self.file(node_id)
        end = min(offset + length, node.size)
        pieces = []
        while offset < end:
            index, start = divmod(offset, CHUNK)
            take = min(CHUNK - start, end - offset)
            chunk = node.chunks.get(index)
            pieces.append(memoryview(chunk)[start:start + take] if chunk is not None else bytes(take))
            offset += take
        return b"".join(pieces)

    async def statfs(self):
        blocks, free = self.capacity // 4096, (self.capacity - self.used) // 4096
        return bs.StatFS(block_size=4096, io_size=1 << 20, blocks=blocks, free_blocks=free, available_blocks=free,
                         files=len(self.nodes) + 1_000_000, free_files=1_000_000)

    # -- making and removing names --------------------------------------------------------------

    def make(self, parent_id, name, kind, mode):
        parent = self.directory(parent_id)
        if self.checked(name) in parent.children:
            raise _failure(errno.EEXIST, "file exists")
        node = Node(self.next_id, kind, mode, parent_id)
        node.uid, node.gid = self.uid, self.gid
        self.next_id += 1
        self.nodes[node.id] = node
        parent.children[name] = node.id
        parent.subdirectories += kind == bs.DIRECTORY
        parent.touch()
        return node

    async def create_file(self, parent_id, name, mode):
        return self.make(parent_id, name, bs.FILE, mode).item(name)

    async def create_directory(self, parent_id, name, mode):
        return self.make(parent_id, name, bs.DIRECTORY, mode).item(name)

    async def create_symlink(self, parent_id, name, target):
        node = self.make(parent_id, name, bs.SYMLINK, 0o777)
        node.target = target
        return node.item(name)

    def unlinked(self, node):
        """`node` lost a name; it goes once it has none and nobody holds it open."""
        node.links -= 1
        node.touch(modified=False)
        self.release_if_unused(node)

    def release_if_unused(self, node):
        if node.links <= 0 and not node.holders and node.id in self.nodes:
            self.used -= len(node.chunks) * CHUNK
            del self.nodes[node.id]

    async def remove_file(self, parent_id, name):
        parent = self.directory(parent_id)
        node = self.child(parent, name)
        if node.type == bs.DIRECTORY:
            raise _failure(errno.EISDIR, "is a directory")
        del parent.children[name]
        parent.touch()
        self.unlinked(node)

    async def remove_directory(self, parent_id, name):
        parent = self.directory(parent_id)
        node = self.child(parent, name)
        if node.type != bs.DIRECTORY:
            raise _failure(errno.ENOTDIR, "not a directory")
        if node.children:
            raise _failure(errno.ENOTEMPTY, "directory not empty")
        del parent.children[name]
        parent.subdirectories -= 1
        parent.touch()
        self.unlinked(node)

    async def rename(self, parent_id, name, new_parent_id, new_name):
        parent, new_parent = self.directory(parent_id), self.directory(new_parent_id)
        node = self.child(parent, name)
        replaced_id = new_parent.children.get(self.checked(new_name))
        if replaced_id == node.id:
            return
        if node.type == bs.DIRECTORY:
            # A directory never moves beneath itself.
            ancestor = new_parent
            while True:
                if ancestor.id == node.id:
                    raise _failure(errno.EINVAL, "a directory cannot move beneath itself")
                if ancestor.id == 1:
                    break
                ancestor = self.nodes[ancestor.parent_id]
        if replaced_id is not None:
            replaced = self.nodes[replaced_id]
            if node.type == bs.DIRECTORY and replaced.type != bs.DIRECTORY:
                raise _failure(errno.ENOTDIR, "not a directory")
            if node.type != bs.DIRECTORY and replaced.type == bs.DIRECTORY:
                raise _failure(errno.EISDIR, "is a directory")
            if replaced.type == bs.DIRECTORY and replaced.children:
                raise _failure(errno.ENOTEMPTY, "directory not empty")
            new_parent.subdirectories -= replaced.type == bs.DIRECTORY
            self.unlinked(replaced)
        del parent.children[name]
        new_parent.children[new_name] = node.id
        if node.type == bs.DIRECTORY:
            parent.subdirectories -= 1
            new_parent.subdirectories += 1
        node.parent_id = new_parent.id
        node.touch(modified=False)
        parent.touch()
        new_parent.touch()

    # -- changing contents and attributes -------------------------------------------------------

    def resize(self, node, size):
        for index in [index for index in node.chunks if index * CHUNK >= size]:
            del node.chunks[index]
            self.used -= CHUNK
        # What lies past the end must read as zeros if the file grows again.
        last = node.chunks.get(size // CHUNK)
        if last is not None:
            last[size % CHUNK:] = bytes(CHUNK - size % CHUNK)
        node.size = size

    async def set_attributes(self, node_id, changes):
        node = self.node(node_id)
        if changes.size is not None:
            if node.type == bs.DIRECTORY:
                raise _failure(errno.EISDIR, "is a directory")
            if node.type != bs.FILE:
                raise _failure(errno.EINVAL, "only regular files have a size to set")
            # Stamped even when the size stays, as ftruncate and O_TRUNC stamp a local file.
            self.resize(node, changes.size)
            node.touch()
        if changes.mode is not None:
            node.mode = changes.mode
        if changes.uid is not None:
            node.uid = changes.uid
        if changes.gid is not None:
            node.gid = changes.gid
        if changes.mode is not None or changes.uid is not None or changes.gid is not None:
            node.touch(modified=False)
        if changes.access_ns is not None or changes.modify_ns is not None or changes.birth_ns is not None:
            node.touch(modified=False)
            node.access_ns = node.access_ns if changes.access_ns is None else changes.access_ns
            node.modify_ns = node.modify_ns if changes.modify_ns is None else changes.modify_ns
            node.birth_ns = node.birth_ns if changes.birth_ns is None else changes.birth_ns
        return node.item()

    async def write(self, node_id, offset, data):
        node = self.file(node_id)
        if not data:
            return 0
        end = offset + len(data)
        if end > LARGEST_FILE:
            raise _failure(errno.EFBIG, "file too large")
        indexes = range(offset // CHUNK, (end - 1) // CHUNK + 1)
        new = sum(index not in node.chunks for index in indexes)
        if self.used + new * CHUNK > self.capacity:
            raise _failure(errno.ENOSPC, f"the file system holds at most {self.capacity} bytes of data")
        self.used += new * CHUNK
        written = 0
        for index in indexes:
            chunk = node.chunks.setdefault(index, bytearray(CHUNK))
            start = offset + written - index * CHUNK
            take = min(CHUNK - start, len(data) - written)
            chunk[start:start + take] = data[written:written + take]
            written += take
        node.size = max(node.size, end)
        node.touch()
        return len(data)

    async def open(self, node_id, modes):
        self.node(node_id).holders.add(bs.current_call().connection)

    async def close(self, node_id, keeping_modes):
        node = self.nodes.get(node_id)
        if node is not None and not keeping_modes:
            node.holders.discard(bs.current_call().connection)
            self.release_if_unused(node)

    # -- extended attributes --------------------------------------------------------------------

    async def list_xattrs(self, node_id):
        return list(self.node(node_id).xattrs)

    async def get_xattr(self, node_id, name):
        value = self.node(node_id).xattrs.get(name)
        if value is None:
            raise _failure(errno.ENODATA, "no such extended attribute")
        return value

    async def set_xattr(self, node_id, name, value, flags):
        node = self.node(node_id)
        if not name or len(name.encode()) > XATTR_NAME_MAX:
            raise _failure(errno.ERANGE, f"an extended attribute's name has 1 to {XATTR_NAME_MAX} bytes")
        if len(value) > XATTR_SIZE_MAX:
            raise _failure(errno.E2BIG, f"an extended attribute holds at most {XATTR_SIZE_MAX} bytes")
        if flags & XATTR_CREATE and name in node.xattrs:
            raise _failure(errno.EEXIST, "the extended attribute exists")
        if flags & XATTR_REPLACE and name not in node.xattrs:
            raise _failure(errno.ENODATA, "no such extended attribute")
        node.xattrs[name] = bytes(value)
        node.touch(modified=False)

    async def remove_xattr(self, node_id, name):
        node = self.node(node_id)
        if node.xattrs.pop(name, None) is None:
            raise _failure(errno.ENODATA, "no such extended attribute")
        node.touch(modified=False)


def _size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    try:
        return int(text[:-1]) * units[text[-1].upper()] if text[-1:].upper() in units else int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is no size such as 512M or 2G") from None


def main(argv=None):
    parser = bs.argument_parser("python3 -m brindle_server.examples.memory", __doc__)
    parser.add_argument("--capacity", type=_size, default=1 << 30, metavar="SIZE",
                        help="the most file data it holds, such as 512M or 2G (default 1G)")
    args = parser.parse_args(argv)
    return bs.run(Memory(args.capacity, os.geteuid(), os.getegid()), bs.options_from(args), "memory", args.debug)


if __name__ == "__main__":
    sys.exit(main())
