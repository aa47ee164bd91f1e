#!/usr/bin/env python3
"""Runs one seeded random sequence of file operations on a mount and on a plain directory and
compares every result: return value or errno, bytes read, listings, and the stat fields the mount
carries (type, permission bits, size, link count, owner, group, modification time). Some steps
change the export behind the mount (and the reference the same way); the mount, whose caches time
out at once, must show the change. Descriptors stay open across steps, so an open file is written
after its name moved or went.

Where the mount differs from a local file system by design, the expected result is derived from
the local one in one place each: REFUSED_NAME and blocked_by_name (names that are not UTF-8),
REFUSED_TYPE and run_path_operation (hard links, FIFOs, devices, sockets, and directories of
mode 0 in op_mkdir), as_listed_by_mount (listings), stat_fields (bits beyond 0777, access
times). Everything else must match exactly.

With --second-mount, the steps run on two mounts of one server in turns of --turn steps, with a
pause of --turn-pause seconds between turns: what one client does must show on the other as it
would on a local file system, within that pause. Descriptors stay with the mount that opened them.
Steps on the export directly come between them, each followed by the same pause, since the
server, which watches its export, tells both mounts of them as of another client's.

Usage: differential.py --mount M [--export E] --reference R [--seed N] [--steps M]
                       [--restart-every K --restart-command CMD]
                       [--second-mount M2 [--turn N] [--turn-pause S]]
Without --export (a server that exports no directory) no step changes anything behind the mount.
Runs as root: steps switch between root and nobody to compare permission checks and ownership.
"""

import argparse
import ctypes
import errno
import os
import platform
import random
import stat
import struct
import subprocess
import sys
import time

NOBODY = 65534
USERS = [(0, 0), (NOBODY, NOBODY)]
DIRECTORIES = [b"", b"p", b"q", b"p/r"]
NAMES = [
    b"f", b"g", b"h", b"p", b"q", b"r",
    b"sp ace", b"new\nline", b"tab\tand\x01control", b"-dash", b".hidden", b"\xc3\xa9t\xc3\xa9",
    b"\xe2\x82\xac\xf0\x9f\x98\x80", b"L" * 255, b"M" * 256,
    b"\xff", b"caf\xe9", b"\xed\xa0\x80surrogate", b"\xc0\xafoverlong",
]
ANY_NAME_BYTE = [byte for byte in range(1, 256) if byte != ord("/")]
SYMLINK_TARGETS = [b"f", b"g", b"p", b"p/r", b"p/r/f", b"missing", b"sl", b"/nonexistent/abs"]
XATTR_NAMES = [b"user.a", b"user.b", b"user." + b"n" * 200, b"user.\xc3\xa9"]
# Set-user-id is tried so that the mount is seen to drop it without failing; set-group-id and
# sticky are not, because what they change (a new file's group, who may remove) would follow
# from bits the mount drops by design rather than from a fault.
MODES = [0o644, 0o600, 0o755, 0o000, 0o444, 0o200, 0o777, 0o711, 0o4755]
OPEN_FLAGS = [os.O_CREAT, os.O_EXCL, os.O_TRUNC, os.O_APPEND, os.O_NOFOLLOW, os.O_DIRECTORY]
MAX_OPEN = 6
UMASK = 0o022
RECENT = 600  # seconds: a modification time this close to now was set by the clock, not a step
CLOCK_REALTIME_COARSE = 5
# File systems stamp changes with the coarse clock: a change in the same tick as the last look
# can leave the time where it was, on one side and not the other.
CLOCK_TICK = time.clock_getres(CLOCK_REALTIME_COARSE) + 0.001
# What the mount answers for a name that is not UTF-8 and for an object type it does not carry.
REFUSED_NAME = ("err", errno.errorcode[errno.EILSEQ])
REFUSED_TYPE = ("err", errno.errorcode[errno.EOPNOTSUPP])
LIBC = ctypes.CDLL(None, use_errno=True)
SYS_GETDENTS64 = {"x86_64": 217, "aarch64": 61}[platform.machine()]
NODE_KINDS = {stat.S_IFIFO: "FIFO", stat.S_IFCHR: "device", stat.S_IFSOCK: "socket"}


def valid_utf8(name):
    try:
        name.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False


def result_of(call):
    """('ok', value) or ('err', errno name): the comparable outcome of one call."""
    try:
        return ("ok", call())
    except OSError as e:
        return ("err", errno.errorcode.get(e.errno, str(e.errno)))


def read_directory(path):
    """Every entry getdents64 gives, as sorted (name, type) pairs: the raw listing, with "." and
    ".." and the types the listing itself carries."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        buffer = ctypes.create_string_buffer(32768)
        entries = []
        while True:
            length = LIBC.syscall(SYS_GETDENTS64, fd, buffer, len(buffer))
            if length < 0:
                error = ctypes.get_errno()
                raise OSError(error, os.strerror(error))
            if length == 0:
                return sorted(entries)
            at = 0
            while at < length:
                _, _, record, kind = struct.unpack_from("<QqHB", buffer.raw, at)
                entries.append((buffer.raw[at + 19:at + record].split(b"\0", 1)[0], kind))
                at += record
    finally:
        os.close(fd)


def as_listed_by_mount(listing):
    """The mount lists neither "." nor "..", and leaves out names that are not UTF-8 (made behind
    it): the wire carries names as UTF-8."""
    if listing[0] != "ok":
        return listing
    return ("ok", [(name, kind) for name, kind in listing[1] if name not in (b".", b"..") and valid_utf8(name)])


def stat_fields(st):
    """What the mount carries: bits beyond 0777 are not carried, and the access time is not
    compared (reads move it on the reference and not always on the mount). The inode number only
    tells objects apart; the two sides number theirs each in their own way."""
    return {
        "type": stat.S_IFMT(st.st_mode),
        "perm": st.st_mode & 0o777,
        "size": st.st_size,
        "nlink": st.st_nlink,
        "uid": st.st_uid,
        "gid": st.st_gid,
        "mtime": st.st_mtime_ns,
        "ino": st.st_ino,
    }


class Side:
    """One tree the sequence runs on: the mount, or the reference directory."""

    def __init__(self, name, root):
        self.name = name
        self.root = os.fsencode(root)
        self.fds = {}
        self.mtimes = {}  # path or descriptor -> (inode number, modification time) last seen there

    def path(self, relative):
        return os.path.join(self.root, relative) if relative else self.root


class Mismatch(Exception):
    pass


class Differential:
    def __init__(self, args):
        self.seed = args.seed
        self.steps = args.steps
        self.rng = random.Random(args.seed)
        self.mount = Side("mount", args.mount)
        # The mounts the steps take turns on, and the root the mount side stands for in each turn.
        self.turns = [os.fsencode(args.mount)] + ([os.fsencode(args.second_mount)] if args.second_mount else [])
        self.turn = args.turn
        self.turn_pause = args.turn_pause
        self.reference = Side("reference", args.reference)
        self.export = Side("export", args.export) if args.export else None
        self.step = 0
        self.restart_every = args.restart_every
        self.restart_command = args.restart_command
        self.user = (0, 0)
        self.next_fd = 0
        self.fd_info = {}  # handle -> path it was opened by, for the report
        self.fd_roots = {}  # handle -> the mount it was opened on
        # Besides the fixed names, a few of any bytes a name may hold, new with each seed.
        self.names = NAMES + [self.random_name() for _ in range(3)]

    # -- running one operation on both sides ------------------------------------------------------

    def as_user(self, user, call):
        uid, gid = user
        if uid == 0:
            return call()
        os.setegid(gid)
        os.seteuid(uid)
        try:
            return call()
        finally:
            os.seteuid(0)
            os.setegid(0)

    def both(self, description, operation, expected=None, mount_side=None, comparable=lambda r: r):
        """Runs operation(side) on the mount (or mount_side) and on the reference as the step's
        user and compares what comparable() keeps of the results. expected(reference_result)
        gives what the mount must return where it differs by design; by default the results
        must be equal."""
        first = mount_side or self.mount
        got = self.as_user(self.user, lambda: result_of(lambda: operation(first)))
        want = self.as_user(self.user, lambda: result_of(lambda: operation(self.reference)))
        wanted_there = expected(want) if expected else want
        self.compare(description, first, comparable(got), comparable(wanted_there))
        return got, want

    def compare(self, description, first, got, want):
        if got != want:
            raise Mismatch(
                f"seed {self.seed} step {self.step} as uid {self.user[0]}: {description}\n"
                f"  {first.name:9}: {got}\n  expected : {want}")

    def compare_stat(self, description, looked_at, got, want):
        """Stat results: exact fields, and modification times compared by what they say: a time
        set by a step must be equal, a time set by the clock must have moved on both sides or on
        neither since the same object was last looked at the same way (looked_at: a path, or a
        descriptor). An object is the same where its inode number is, on each side by its own
        numbers: a name can come to stand for another object whose time fell, on one side only,
        in the same clock tick as the first's."""
        if got[0] != "ok" or want[0] != "ok":
            self.compare(description, self.mount, got, want)
            return
        g, w = dict(got[1]), dict(want[1])
        g_time, w_time = g.pop("mtime"), w.pop("mtime")
        g_object, w_object = g.pop("ino"), w.pop("ino")
        self.compare(description, self.mount, ("ok", g), ("ok", w))
        now = time.time_ns()
        if abs(w_time - now) > RECENT * 10**9:
            self.compare(description + " (mtime set by a step)", self.mount, g_time, w_time)
        else:
            if abs(g_time - w_time) > 2 * 10**9:  # one step runs on both sides within moments
                self.compare(description + " (mtime differs by seconds)", self.mount, g_time, w_time)
            g_before = self.mount.mtimes.get(looked_at, (None, None))
            w_before = self.reference.mtimes.get(looked_at, (None, None))
            if g_before[0] == g_object and w_before[0] == w_object:
                self.compare(description + " (mtime moved since last looked at)", self.mount,
                             g_time != g_before[1], w_time != w_before[1])
        self.mount.mtimes[looked_at] = (g_object, g_time)
        self.reference.mtimes[looked_at] = (w_object, w_time)
        time.sleep(CLOCK_TICK)

    # -- choosing arguments -----------------------------------------------------------------------

    def random_path(self):
        return os.path.join(self.rng.choice(DIRECTORIES), self.rng.choice(self.names)).lstrip(b"/")

    def random_name(self):
        while True:
            name = bytes(self.rng.choice(ANY_NAME_BYTE) for _ in range(self.rng.randrange(1, 24)))
            if name not in (b".", b".."):
                return name

    def random_bytes(self, limit):
        sizes = [size for size in (0, 1, 7, 100, 4095, 4096, 4097, 65536) if size < limit]
        return self.rng.randbytes(self.rng.choice(sizes + [self.rng.randrange(limit)]))

    def random_time_ns(self):
        return self.rng.randrange(0, 2**31) * 10**9 + self.rng.randrange(10**9)

    # -- what the mount refuses by design ---------------------------------------------------------

    def blocked_by_name(self, walk):
        """True where the mount refuses a call with EILSEQ: the wire carries names as UTF-8, so a
        name that is not is refused once the kernel's walk reaches it. walk: the paths the kernel
        resolves, in its order, each with what it needs to go on ("directory", "exists" or
        nothing). The call fails earlier, on the mount as on a local file system, where a path
        before it is missing or closed to the user."""
        for relative, needed in walk:
            parts = relative.split(b"/") if relative else []
            for depth, part in enumerate(parts):
                if valid_utf8(part):
                    continue
                parent = self.reference.path(b"/".join(parts[:depth]))
                return self.as_user(
                    self.user, lambda: os.path.isdir(parent) and os.access(parent, os.X_OK, effective_ids=True))
            path = self.reference.path(relative)
            if needed == "directory" and not os.path.isdir(path):
                return False
            if needed == "exists" and not os.path.lexists(path):
                return False
        return False

    def as_refused_by_name(self, got):
        """What the mount must answer for a call that reaches a name that is not UTF-8: EILSEQ. For
        another user than root a permission error is as good: the kernel may check the user's
        rights on the directories of a rename or removal before it looks the names up."""
        if self.user[0] != 0 and got in (("err", "EACCES"), ("err", "EPERM")):
            return got
        return REFUSED_NAME

    def run_path_operation(self, description, relatives, operation, refused_type=False, expected=None,
                           comparable=lambda r: r, walk=None):
        """A path operation whose paths may hold names the mount refuses. refused_type: the call
        makes an object the mount refuses (hard link, FIFO, device, socket);
        the mount answers EOPNOTSUPP where the reference succeeds, and the reference's new object
        is taken away again with its directory's times kept, so both trees stay the same. Returns
        the results on the mount and on the reference (None where the reference was left alone).
        walk: as for blocked_by_name; by default the one path is walked to its end."""
        if self.blocked_by_name(walk if walk is not None else [(relatives[0], None)]):
            got = self.as_user(self.user, lambda: result_of(lambda: operation(self.mount)))
            self.compare(description, self.mount, comparable(got), self.as_refused_by_name(got))
            return got, None
        if not refused_type:
            return self.both(description, operation, expected=expected, comparable=comparable)
        created = relatives[-1]
        parent = self.reference.path(os.path.dirname(created))
        parent_times = os.stat(parent) if os.path.isdir(parent) else None
        got, want = self.both(description, operation,
                              expected=lambda w: REFUSED_TYPE if w[0] == "ok" else w)
        if want[0] == "ok":
            new_object = self.reference.path(created)
            (os.rmdir if stat.S_ISDIR(os.lstat(new_object).st_mode) else os.unlink)(new_object)
            os.utime(parent, ns=(parent_times.st_atime_ns, parent_times.st_mtime_ns))
        return got, want

    # -- the operations ---------------------------------------------------------------------------

    def op_open(self):
        relative = self.random_path()
        flags = self.rng.choice([os.O_RDONLY, os.O_WRONLY, os.O_RDWR])
        for extra in OPEN_FLAGS:
            if self.rng.random() < (0.5 if extra == os.O_CREAT else 0.15):
                flags |= extra
        mode = self.rng.choice(MODES)
        if len(self.turns) > 1:
            # A file its owner cannot write is created writable and gets its mode at the creating
            # mount's last close, so until then another client sees the owner's write bit.
            mode |= 0o200
        if len(self.own_handles()) >= MAX_OPEN:
            self.op_close()
        description = f"open({relative!r}, {flags:#o}, {mode:#o})"
        # O_CREAT with O_DIRECTORY is refused before any walk.
        invalid_flags = flags & os.O_CREAT and flags & os.O_DIRECTORY
        got, want = self.run_path_operation(description, [relative],
                                            lambda side: os.open(side.path(relative), flags, mode),
                                            comparable=lambda r: ("ok", "a descriptor") if r[0] == "ok" else r,
                                            walk=[] if invalid_flags else None)
        if got[0] == "ok":
            handle = self.next_fd
            self.next_fd += 1
            self.mount.fds[handle] = got[1]
            self.reference.fds[handle] = want[1]
            self.fd_info[handle] = description
            self.fd_roots[handle] = self.mount.root

    def own_handles(self):
        """The descriptors the mount of this turn opened: one client's writes through its own
        descriptor show on the other only once they are told, as the turns allow for."""
        return [handle for handle in sorted(self.fd_info) if self.fd_roots[handle] == self.mount.root]

    def op_close(self):
        if not self.own_handles():
            return
        handle = self.rng.choice(self.own_handles())
        description = f"close(#{handle} from {self.fd_info.pop(handle)})"
        self.both(description, lambda side: os.close(side.fds.pop(handle)))

    def with_fd(self, name, call):
        if not self.own_handles():
            return
        handle = self.rng.choice(self.own_handles())
        description = f"{name} on #{handle} from {self.fd_info[handle]}"
        self.both(description, lambda side: call(side.fds[handle]))

    def op_write(self):
        data = self.random_bytes(70000)
        self.with_fd(f"write({len(data)} bytes)", lambda fd: os.write(fd, data))

    def op_pwrite(self):
        data = self.random_bytes(70000)
        offset = self.rng.choice([0, 1, 4096, self.rng.randrange(300000)])
        self.with_fd(f"pwrite({len(data)} bytes at {offset})", lambda fd: os.pwrite(fd, data, offset))

    def op_read(self):
        size = self.rng.choice([1, 100, 4096, 70000, 300000])
        self.with_fd(f"read({size})", lambda fd: os.read(fd, size))

    def op_pread(self):
        size = self.rng.choice([1, 100, 4096, 70000, 300000])
        offset = self.rng.choice([0, 3, 4096, self.rng.randrange(300000)])
        self.with_fd(f"pread({size} at {offset})", lambda fd: os.pread(fd, size, offset))

    def op_seek(self):
        offset = self.rng.randrange(200000)
        self.with_fd(f"lseek({offset}, SEEK_SET)", lambda fd: os.lseek(fd, offset, os.SEEK_SET))

    def op_ftruncate(self):
        size = self.rng.choice([0, 1, 3, 4096, self.rng.randrange(300000)])
        self.with_fd(f"ftruncate({size})", lambda fd: os.ftruncate(fd, size))

    def op_fstat(self):
        if not self.own_handles():
            return
        handle = self.rng.choice(self.own_handles())
        description = f"fstat on #{handle} from {self.fd_info[handle]}"
        got, want = (self.as_user(self.user, lambda s=side: result_of(lambda: stat_fields(os.fstat(s.fds[handle]))))
                     for side in (self.mount, self.reference))
        self.compare_stat(description, b"#%d" % handle, got, want)

    def op_stat(self):
        relative = self.rng.choice([self.random_path(), self.rng.choice(DIRECTORIES)])
        follow = self.rng.random() < 0.5
        call = os.stat if follow else os.lstat
        description = f"{call.__name__}({relative!r})"
        got, want = (self.as_user(self.user, lambda s=s: result_of(lambda: stat_fields(call(s.path(relative)))))
                     for s in (self.mount, self.reference))
        if self.blocked_by_name([(relative, None)]):
            self.compare(description, self.mount, got if got[0] == "err" else ("ok", "attributes"),
                         self.as_refused_by_name(got))
            return
        self.compare_stat(description, relative + (b"" if follow else b"\0l"), got, want)

    def op_truncate(self):
        relative = self.random_path()
        size = self.rng.choice([0, 2, 5000, self.rng.randrange(200000)])
        # truncate(2) to the size a file has may stamp its times or not (tmpfs stamps all but an
        # empty file, the mount every file): the sequence always changes the size.
        try:
            size += os.stat(self.reference.path(relative)).st_size == size
        except OSError:
            pass
        self.run_path_operation(f"truncate({relative!r}, {size})", [relative],
                                lambda side: os.truncate(side.path(relative), size))

    def op_rename(self):
        source, target = self.random_path(), self.random_path()
        description = f"rename({source!r}, {target!r})"
        # Both parents first, then the name to move, then the name it takes.
        walk = [(os.path.dirname(source), "directory"), (os.path.dirname(target), "directory"),
                (source, "exists"), (target, None)]
        self.run_path_operation(description, [source, target],
                                lambda side: os.rename(side.path(source), side.path(target)), walk=walk)

    def op_unlink(self):
        relative = self.random_path()
        description = f"unlink({relative!r})"
        self.run_path_operation(description, [relative], lambda side: os.unlink(side.path(relative)))

    def op_mkdir(self):
        relative = self.rng.choice([self.random_path(), self.rng.choice(DIRECTORIES[1:])])
        mode = self.rng.choice(MODES)
        description = f"mkdir({relative!r}, {mode:#o})"
        self.run_path_operation(description, [relative], lambda side: os.mkdir(side.path(relative), mode))

    def op_rmdir(self):
        relative = self.rng.choice([self.random_path(), self.rng.choice(DIRECTORIES[1:])])
        description = f"rmdir({relative!r})"
        self.run_path_operation(description, [relative], lambda side: os.rmdir(side.path(relative)))

    def op_symlink(self):
        target, relative = self.rng.choice(SYMLINK_TARGETS), self.random_path()
        description = f"symlink({target!r}, {relative!r})"
        self.run_path_operation(description, [relative], lambda side: os.symlink(target, side.path(relative)))

    def op_readlink(self):
        relative = self.random_path()
        description = f"readlink({relative!r})"
        self.run_path_operation(description, [relative], lambda side: os.readlink(side.path(relative)))

    def op_chmod(self):
        relative = self.rng.choice([self.random_path(), self.rng.choice(DIRECTORIES[1:])])
        mode = self.rng.choice(MODES)
        description = f"chmod({relative!r}, {mode:#o})"
        self.run_path_operation(description, [relative], lambda side: os.chmod(side.path(relative), mode))

    def op_chown(self):
        relative = self.random_path()
        uid, gid = self.rng.choice([(0, 0), (NOBODY, NOBODY), (1000, 1000), (-1, NOBODY), (NOBODY, -1)])
        description = f"chown({relative!r}, {uid}, {gid})"
        self.run_path_operation(description, [relative], lambda side: os.chown(side.path(relative), uid, gid))

    def op_utime(self):
        relative = self.random_path()
        times = None if self.rng.random() < 0.3 else (self.random_time_ns(), self.random_time_ns())
        description = f"utimensat({relative!r}, {times})"
        self.run_path_operation(description, [relative], lambda side: os.utime(side.path(relative), ns=times)
                                if times else os.utime(side.path(relative)))

    def op_listdir(self):
        relative = self.rng.choice(DIRECTORIES + [self.random_path()])
        description = f"readdir({relative!r})"
        self.run_path_operation(description, [relative], lambda side: read_directory(side.path(relative)),
                                expected=as_listed_by_mount)

    def op_setxattr(self):
        relative, name = self.random_path(), self.rng.choice(XATTR_NAMES)
        value = self.rng.randbytes(self.rng.choice([0, 1, 100, 3000]))
        flags = self.rng.choice([0, 0, os.XATTR_CREATE, os.XATTR_REPLACE])
        description = f"setxattr({relative!r}, {name!r}, {len(value)} bytes, {flags})"
        self.run_path_operation(description, [relative],
                                lambda side: os.setxattr(side.path(relative), name, value, flags))

    def op_getxattr(self):
        relative, name = self.random_path(), self.rng.choice(XATTR_NAMES)
        description = f"getxattr({relative!r}, {name!r})"
        self.run_path_operation(description, [relative], lambda side: os.getxattr(side.path(relative), name))

    def op_listxattr(self):
        relative = self.random_path()
        description = f"listxattr({relative!r})"
        self.run_path_operation(description, [relative], lambda side: sorted(os.listxattr(side.path(relative))))

    def op_removexattr(self):
        relative, name = self.random_path(), self.rng.choice(XATTR_NAMES)
        description = f"removexattr({relative!r}, {name!r})"
        self.run_path_operation(description, [relative], lambda side: os.removexattr(side.path(relative), name))

    def op_link(self):
        source, target = self.random_path(), self.random_path()
        description = f"link({source!r}, {target!r})"
        # The object linked to first, then the new name's parent and the new name.
        walk = [(source, "exists"), (os.path.dirname(target), "directory"), (target, None)]
        self.run_path_operation(description, [source, target],
                                lambda side: os.link(side.path(source), side.path(target)), refused_type=True,
                                walk=walk)

    def op_mknod(self):
        relative = self.random_path()
        kind = self.rng.choice(sorted(NODE_KINDS))
        description = f"mknod({relative!r}, {NODE_KINDS[kind]})"
        self.run_path_operation(description, [relative],
                                lambda side: os.mknod(side.path(relative), kind | 0o644, os.makedev(1, 3)),
                                refused_type=True)

    def op_behind(self):
        """Changes the export directly, and the reference the same way; the results must agree,
        and the mount must show the change at its next look."""
        kind = self.rng.choice(["write", "create", "mkdir", "unlink", "chmod", "utime", "rename", "truncate"])
        relative, other = self.random_path(), self.random_path()
        data = self.random_bytes(20000)
        mode = self.rng.choice(MODES) & 0o777
        times = (self.random_time_ns(), self.random_time_ns())
        calls = {
            "write": lambda s: self.write_file(s.path(relative), data),
            "create": lambda s: os.close(os.open(s.path(relative), os.O_CREAT | os.O_WRONLY, 0o640)),
            "mkdir": lambda s: os.mkdir(s.path(relative), 0o755),
            "unlink": lambda s: os.unlink(s.path(relative)),
            "chmod": lambda s: os.chmod(s.path(relative), mode),
            "utime": lambda s: os.utime(s.path(relative), ns=times),
            "rename": lambda s: os.rename(s.path(relative), s.path(other)),
            "truncate": lambda s: os.truncate(s.path(relative), len(data)),
        }
        description = f"behind the mount: {kind}({relative!r}, {other!r}, {len(data)} bytes, {mode:#o})"
        saved, self.user = self.user, (0, 0)
        try:
            self.both(description, calls[kind], mount_side=self.export)
        finally:
            self.user = saved
        # Another writer than the mounts, whose caches only a notice mends.
        if len(self.turns) > 1:
            time.sleep(self.turn_pause)

    @staticmethod
    def write_file(path, data):
        fd = os.open(path, os.O_WRONLY)
        try:
            return os.pwrite(fd, data, 0)
        finally:
            os.close(fd)

    # -- the sequence ------------------------------------------------------------------------------

    WEIGHTS = {
        "open": 14, "close": 6, "write": 8, "pwrite": 8, "read": 6, "pread": 6, "seek": 2,
        "ftruncate": 3, "fstat": 6, "stat": 14, "truncate": 3, "rename": 6, "unlink": 5, "mkdir": 5,
        "rmdir": 3, "symlink": 3, "readlink": 2, "chmod": 5, "chown": 3, "utime": 4, "listdir": 6,
        "setxattr": 3, "getxattr": 3, "listxattr": 2, "removexattr": 2, "link": 1, "mknod": 1,
        "behind": 4,
    }

    def run(self):
        os.setgroups([])
        os.umask(UMASK)
        operations = sorted(name for name in self.WEIGHTS if name != "behind" or self.export)
        weights = [self.WEIGHTS[name] for name in operations]
        for self.step in range(1, self.steps + 1):
            if len(self.turns) > 1 and self.step % self.turn == 0:
                self.take_turns()
            self.user = USERS[0] if self.rng.random() < 0.75 else USERS[1]
            getattr(self, "op_" + self.rng.choices(operations, weights)[0])()
            if self.restart_every and self.step % self.restart_every == 0:
                self.restart_server()
        self.close_all("final close")
        self.user = (0, 0)
        for _ in self.turns:
            self.take_turns()
            self.compare_trees()

    def take_turns(self):
        """The other mount goes on from here, once what this one did has had time to be told."""
        time.sleep(self.turn_pause)
        self.mount.root = self.turns[(self.turns.index(self.mount.root) + 1) % len(self.turns)]
        self.mount.name = "mount" if self.mount.root == self.turns[0] else "second mount"

    def close_all(self, why):
        for handle in sorted(self.fd_info):
            self.both(f"{why}(#{handle})", lambda side: os.close(side.fds.pop(handle)))
        self.fd_info.clear()

    def restart_server(self):
        """A descriptor open for writing fails once the server is gone, as documented: the sequence
        closes its own first, so that what follows must match as before."""
        self.user = (0, 0)
        self.close_all("close before a restart")
        subprocess.run(self.restart_command, shell=True, check=True)

    def compare_trees(self):
        """At the end every object must match, also those the sequence never looked at again."""
        self.step = "final walk"
        for directory, names, files in os.walk(self.reference.root):
            relative_directory = os.path.relpath(directory, self.reference.root)
            relative_directory = b"" if relative_directory == b"." else relative_directory
            if not all(valid_utf8(part) for part in relative_directory.split(b"/")):
                continue
            got, want = (result_of(lambda s=s: read_directory(s.path(relative_directory)))
                         for s in (self.mount, self.reference))
            self.compare(f"readdir({relative_directory!r})", self.mount, got, as_listed_by_mount(want))
            for name in sorted(names + files):
                relative = os.path.join(relative_directory, name).lstrip(b"/")
                if not valid_utf8(name):
                    continue
                got, want = (result_of(lambda s=s: stat_fields(os.lstat(s.path(relative))))
                             for s in (self.mount, self.reference))
                self.compare_stat(f"lstat({relative!r})", relative + b"\0l", got, want)
                if want[0] == "ok" and stat.S_ISREG(want[1]["type"]):
                    got, want = (result_of(lambda s=s: open(s.path(relative), "rb").read())
                                 for s in (self.mount, self.reference))
                    self.compare(f"contents of {relative!r}", self.mount, got, want)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mount", required=True)
    parser.add_argument("--export")
    parser.add_argument("--reference", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--steps", type=int, default=1000)
    parser.add_argument("--restart-every", type=int, default=0,
                        help="run --restart-command after every this many steps (0: never)")
    parser.add_argument("--restart-command", help="a shell command that restarts the server")
    parser.add_argument("--second-mount", help="a second mount of the same server, to take turns with")
    parser.add_argument("--turn", type=int, default=20, help="steps in each mount's turn")
    parser.add_argument("--turn-pause", type=float, default=0.1,
                        help="seconds between turns, for one mount's changes to be told to the other")
    args = parser.parse_args()
    began = time.monotonic()
    try:
        Differential(args).run()
    except Mismatch as mismatch:
        print(f"MISMATCH {mismatch}", file=sys.stderr)
        again = f" --restart-every {args.restart_every}" if args.restart_every else ""
        print(f"again: --seed {args.seed} --steps {args.steps}{again}", file=sys.stderr)
        return 1
    print(f"seed {args.seed}: {args.steps} steps matched in {time.monotonic() - began:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
