"""Exports a directory on the path layer. Errors are the system's own: an OSError that a call
such as os.rmdir raises goes to the client as it is, and the SDK translates its Linux errno to
the wire's Darwin numbering by name (ENOTEMPTY 39 becomes 66, ENODATA 61 becomes ENOATTR 93).
No name or symbolic link leads outside the directory: every path is walked one directory at a
time without following links. Extended attributes live in Linux's user. namespace."""

import contextlib
import errno
import os
import stat
import sys

import brindle_server as bs

NAMESPACE = "user."
OPEN_WRITE = 2
XATTR_CREATE, XATTR_REPLACE = 2, 4
WALK = os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _magic(fd):
    """The object an O_PATH descriptor holds, for calls that take no descriptor."""
    return f"/proc/self/fd/{fd}"


class Passthrough(bs.PathFileSystem):
    def __init__(self, directory):
        self.root = os.open(directory, WALK & ~os.O_NOFOLLOW)

    @contextlib.contextmanager
    def parent(self, path):
        """(descriptor of the directory holding `path`, its last name); "." for the root."""
        names = [name for name in path.split("/") if name]
        if not names:
            yield self.root, "."
            return
        opened = []
        try:
            at = self.root
            for name in names[:-1]:
                # A link where a directory should be ends the walk with ENOTDIR.
                at = os.open(name, WALK, dir_fd=at)
                opened.append(at)
            yield at, names[-1]
        finally:
            for fd in opened:
                os.close(fd)

    def open_object(self, path, flags):
        with self.parent(path) as (at, name):
            return os.open(name, flags | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=at)

    # -- reading --------------------------------------------------------------------------------

    def getattr(self, path):
        with self.parent(path) as (at, name):
            return os.stat(name, dir_fd=at, follow_symlinks=False)

    def readdir(self, path):
        fd = self.open_object(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for name in os.listdir(fd):
                try:
                    yield name, os.stat(name, dir_fd=fd, follow_symlinks=False)
                except FileNotFoundError:
                    continue  # removed while listed
        finally:
            os.close(fd)

    def through(self, path, handle, flags, call):
        """call(descriptor): the client's open one, or one opened for this call alone."""
        if handle is not None:
            return call(handle)
        fd = self.open_object(path, flags | os.O_NONBLOCK)
        try:
            return call(fd)
        finally:
            os.close(fd)

    def read(self, path, offset, size, handle):
        return self.through(path, handle, os.O_RDONLY, lambda fd: os.pread(fd, size, offset))

    def readlink(self, path):
        with self.parent(path) as (at, name):
            return os.readlink(name, dir_fd=at)

    def statfs(self):
        return os.fstatvfs(self.root)

    def open(self, path, modes):
        fd = self.open_object(path, (os.O_RDWR if modes & OPEN_WRITE else os.O_RDONLY) | os.O_NONBLOCK)
        kind = stat.S_IFMT(os.fstat(fd).st_mode)
        if kind != stat.S_IFREG:
            os.close(fd)
            raise OSError(errno.EISDIR if kind == stat.S_IFDIR else errno.ENOTSUP, "not a regular file")
        return fd

    def release(self, path, handle):
        os.close(handle)

    # -- changing -------------------------------------------------------------------------------

    def write(self, path, offset, data, handle):
        return self.through(path, handle, os.O_WRONLY, lambda fd: os.pwrite(fd, data, offset))

    def create(self, path, mode):
        fd = self.open_object(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        try:
            return os.fstat(fd)
        finally:
            os.close(fd)

    def mkdir(self, path, mode):
        with self.parent(path) as (at, name):
            os.mkdir(name, mode, dir_fd=at)

    def symlink(self, path, target):
        with self.parent(path) as (at, name):
            os.symlink(target, name, dir_fd=at)

    def unlink(self, path):
        with self.parent(path) as (at, name):
            os.unlink(name, dir_fd=at)

    def rmdir(self, path):
        with self.parent(path) as (at, name):
            os.rmdir(name, dir_fd=at)

    def rename(self, old, new):
        with self.parent(old) as (old_at, old_name), self.parent(new) as (new_at, new_name):
            os.rename(old_name, new_name, src_dir_fd=old_at, dst_dir_fd=new_at)

    def chmod(self, path, mode):
        fd = self.open_object(path, os.O_PATH)
        try:
            if stat.S_ISLNK(os.fstat(fd).st_mode):
                raise OSError(errno.ENOTSUP, "symbolic links have no mode of their own")
            os.chmod(_magic(fd), mode)
        finally:
            os.close(fd)

    def chown(self, path, uid, gid):
        with self.parent(path) as (at, name):
            os.chown(name, -1 if uid is None else uid, -1 if gid is None else gid, dir_fd=at, follow_symlinks=False)

    def truncate(self, path, size, handle):
        if handle is not None:
            try:
                return os.ftruncate(handle, size)
            except OSError as error:
                if error.errno not in (errno.EBADF, errno.EINVAL):  # a handle opened for reading
                    raise
        fd = self.open_object(path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.ftruncate(fd, size)
        finally:
            os.close(fd)

    def utimens(self, path, access_ns, modify_ns):
        with self.parent(path) as (at, name):
            if access_ns is None or modify_ns is None:
                st = os.stat(name, dir_fd=at, follow_symlinks=False)
                access_ns = st.st_atime_ns if access_ns is None else access_ns
                modify_ns = st.st_mtime_ns if modify_ns is None else modify_ns
            os.utime(name, ns=(access_ns, modify_ns), dir_fd=at, follow_symlinks=False)

    def sync(self):
        os.sync()

    # -- extended attributes --------------------------------------------------------------------

    @contextlib.contextmanager
    def xattr_object(self, path):
        """The path that reaches the object itself, or None for a symbolic link: Linux keeps no
        user attributes on links, and following one could lead outside the export."""
        fd = self.open_object(path, os.O_PATH)
        try:
            yield None if stat.S_ISLNK(os.fstat(fd).st_mode) else _magic(fd)
        finally:
            os.close(fd)

    def listxattr(self, path):
        with self.xattr_object(path) as target:
            names = os.listxattr(target) if target else []
        return [name[len(NAMESPACE):] for name in names if name.startswith(NAMESPACE) and name != NAMESPACE]

    def getxattr(self, path, name):
        with self.xattr_object(path) as target:
            if target is None:
                raise OSError(errno.ENODATA, "no such extended attribute")
            return os.getxattr(target, NAMESPACE + name)

    def setxattr(self, path, name, value, flags):
        linux_flags = (os.XATTR_CREATE if flags & XATTR_CREATE else 0) | (
            os.XATTR_REPLACE if flags & XATTR_REPLACE else 0)
        with self.xattr_object(path) as target:
            if target is None:
                raise OSError(errno.ENOTSUP, "symbolic links carry no extended attributes")
            os.setxattr(target, NAMESPACE + name, value, linux_flags)

    def removexattr(self, path, name):
        with self.xattr_object(path) as target:
            if target is None:
                raise OSError(errno.ENODATA, "no such extended attribute")
            os.removexattr(target, NAMESPACE + name)

def main(argv=None):
    parser = bs.argument_parser("python3 -m brindle_server.examples.passthrough", __doc__)
    parser.add_argument("--export", required=True, metavar="DIR", help="the directory to serve")
    args = parser.parse_args(argv)
    try:
        fs = Passthrough(args.export)
    except OSError as error:
        print(f"passthrough: cannot open {args.export}: {error.strerror}", file=sys.stderr)
        return 1
    # Modes are the client's to choose, not this process's umask.
    os.umask(0)
    return bs.run(fs, bs.options_from(args), "passthrough", args.debug)


if __name__ == "__main__":
    sys.exit(main())
