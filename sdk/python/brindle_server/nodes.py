"""The layer that mirrors the wire: one method per remote method, objects named by node ids that
the file system hands out itself. Subclass NodeFileSystem and override what the file system can
do; the rest answers ENOSYS. Any method may be `async def` or plain (plain ones run in a thread
pool, several at once: guard shared state). Raise OSError to fail a call; its errno is sent in
Darwin's numbering."""

import errno

from .calls import call_handler
from .records import DIRECTORY, StatFS, attributes_of


def _not_implemented():
    return OSError(errno.ENOSYS, "not implemented by this server")


class NodeFileSystem:
    # The node the file system is mounted at, as get_root_attributes answers it.
    def get_root_attributes(self):
        """-> Item of the root."""
        raise _not_implemented()

    def get_attributes(self, node_id):
        """-> Item, whose node_id is node_id."""
        raise _not_implemented()

    def lookup(self, parent_id, name):
        """-> Item named `name` in directory parent_id; OSError(ENOENT) when there is none."""
        raise _not_implemented()

    def enumerate_directory(self, node_id):
        """-> every entry of the directory, as a list or any iterator (a generator, an async
        generator) of Items or of names. "." and ".." may be left out. The SDK pages through it,
        makes the cookies, and looks up (with lookup) any entry that is a bare name, or that it
        serves from a listing taken on an earlier call, so that every entry is current."""
        raise _not_implemented()

    async def open_directory(self, node_id):
        """Called before a directory is listed; refuse with OSError. By default it must be a
        directory."""
        item = await call_handler(self.get_attributes, node_id)
        if attributes_of(getattr(item, "attributes", item), "open_directory").type != DIRECTORY:
            raise OSError(errno.ENOTDIR, "not a directory")

    def create_file(self, parent_id, name, mode):
        """-> Item of the new, empty regular file; OSError(EEXIST) when the name is taken."""
        raise _not_implemented()

    def create_directory(self, parent_id, name, mode):
        """-> Item of the new directory."""
        raise _not_implemented()

    def create_symlink(self, parent_id, name, target):
        """-> Item of the new symbolic link."""
        raise _not_implemented()

    def remove_file(self, parent_id, name):
        """Removes a name that is not a directory."""
        raise _not_implemented()

    def remove_directory(self, parent_id, name):
        """Removes an empty directory."""
        raise _not_implemented()

    def rename(self, parent_id, name, new_parent_id, new_name):
        """Moves an entry, replacing what new_name named, as rename(2) does."""
        raise _not_implemented()

    def set_attributes(self, node_id, changes):
        """Applies `changes` (a Changes: the fields that are not None) -> Item."""
        raise _not_implemented()

    def readlink(self, node_id):
        """-> the symbolic link's target (str)."""
        raise _not_implemented()

    async def open(self, node_id, modes):
        """A client opens the file; modes: 1 read, 2 write (or both)."""

    async def close(self, node_id, keeping_modes):
        """The client closed it; keeping_modes are the modes it still holds open (0: closed).
        Also called for whatever a connection left open when it ends."""

    def read(self, node_id, offset, length):
        """-> at most `length` bytes from `offset`; fewer only at the end of the file."""
        raise _not_implemented()

    def write(self, node_id, offset, data):
        """Writes `data` at `offset` -> bytes written (None: all of them)."""
        raise _not_implemented()

    def statfs(self):
        """-> StatFS (or an os.statvfs_result)."""
        return StatFS()

    async def synchronize(self, flags):
        """Makes what was written durable."""

    def list_xattrs(self, node_id):
        """-> the names of the node's extended attributes."""
        raise _not_implemented()

    def get_xattr(self, node_id, name):
        """-> the value (bytes); OSError(ENODATA) when the node has no such attribute."""
        raise _not_implemented()

    def set_xattr(self, node_id, name, value, flags):
        """flags: 2 create only (EEXIST if it exists), 4 replace only (ENODATA if it does not)."""
        raise _not_implemented()

    def remove_xattr(self, node_id, name):
        raise _not_implemented()

    async def connection_ended(self, connection):
        """A client went; `connection` is the id current_call().connection had for it."""

