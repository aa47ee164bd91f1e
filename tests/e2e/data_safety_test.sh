#!/usr/bin/env bash
# Mounts a brindle-server export through brindle and checks that the mount keeps contents,
# ownership and directory attributes as a local file system does, looking at the export on disk.
# Usage: data_safety_test.sh BRINDLE BRINDLE_SERVER CASE
# Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# Rewriting a longer file through each common way of opening it for writing leaves only the new
# contents, on the mount and in the export.
check_truncating_opens() {
  local file=$mnt/f expected
  printf 'hello world, a longer first version\n' >"$file" || fail "first write"
  printf 'hi\n' >"$file" || fail "shell redirection"
  [ "$(cat "$export_dir/f")" = hi ] || fail "> kept the old tail: $(od -c "$export_dir/f" | head -3)"
  [ "$(cat "$file")" = hi ] || fail "the mount reads $(cat "$file")"
  printf 'a much longer second version of the file\n' >"$file"
  python3 -c "open('$file', 'w').write('py')" || fail "python open('w')"
  [ "$(cat "$export_dir/f")" = py ] || fail "open('w') kept the old tail: $(cat "$export_dir/f")"
  printf 'x' >"$work/short"
  printf 'a much longer third version of the file\n' >"$file"
  cp "$work/short" "$file" || fail "cp over an existing file"
  [ "$(cat "$export_dir/f")" = x ] || fail "cp kept the old tail: $(cat "$export_dir/f")"
  [ "$(stat -c %s "$file")" = 1 ] || fail "the mount shows size $(stat -c %s "$file")"
  # Read-write and read-only opens with O_TRUNC truncate too, as on a local file system.
  printf 'longer contents again\n' >"$file"
  python3 -c "import os; os.close(os.open('$file', os.O_RDONLY | os.O_TRUNC))" || fail "O_RDONLY|O_TRUNC"
  [ "$(stat -c %s "$export_dir/f")" = 0 ] || fail "O_RDONLY|O_TRUNC left $(stat -c %s "$export_dir/f") bytes"
  expected=$(printf 'abc')
  printf 'longer contents again\n' >"$file"
  python3 -c "
import os
fd = os.open('$file', os.O_RDWR | os.O_TRUNC)
os.write(fd, b'abc')
os.lseek(fd, 0, 0)
assert os.read(fd, 100) == b'abc'
os.close(fd)" || fail "O_RDWR|O_TRUNC"
  [ "$(cat "$export_dir/f")" = "$expected" ] || fail "O_RDWR|O_TRUNC left $(cat "$export_dir/f")"
}

case_truncating_open() {
  start_server
  mount_foreground -o attr_timeout=0,entry_timeout=0
  check_truncating_opens
  unmount_and_wait
}

case_truncating_open_writeback() {
  start_server
  mount_foreground -o writeback_cache
  check_truncating_opens
  # O_APPEND is the kernel's business with the writeback cache: it appends at its own size.
  printf 'one\n' >"$mnt/log"
  printf 'two\n' >>"$mnt/log" || fail "append"
  [ "$(cat "$export_dir/log")" = "$(printf 'one\ntwo')" ] || fail "append gave $(cat "$export_dir/log")"
  unmount_and_wait
}

# On a mount other users reach, what a user creates is theirs, on the mount and in the export, and
# they may then change it as its owner.
case_allow_other_ownership() {
  start_server
  mount_foreground -o allow_other,default_permissions,attr_timeout=0,entry_timeout=0
  mkdir "$mnt/shared" && chmod 0777 "$mnt/shared" || fail "mkdir shared"
  as_nobody sh -c "
    printf data >'$mnt/shared/created' &&
    mkdir '$mnt/shared/dir' &&
    ln -s created '$mnt/shared/link' &&
    /usr/bin/python3 -c \"import os, stat; os.mknod('$mnt/shared/node', stat.S_IFREG | 0o600)\"" || fail "creating as nobody"
  local name
  for name in created dir link node; do
    [ "$(stat -c %u:%g "$export_dir/shared/$name")" = 65534:65534 ] ||
      fail "$name belongs to $(stat -c %u:%g "$export_dir/shared/$name") in the export"
    [ "$(stat -c %u:%g "$mnt/shared/$name")" = 65534:65534 ] ||
      fail "$name belongs to $(stat -c %u:%g "$mnt/shared/$name") on the mount"
  done
  [ "$(cat "$export_dir/shared/created")" = data ] || fail "the created file lost its data"
  as_nobody sh -c "chmod 0600 '$mnt/shared/created' && truncate -s 1 '$mnt/shared/created' &&
    chown 65534:65534 '$mnt/shared/dir'" || fail "the owner cannot change its own file"
  [ "$(stat -c %a:%s "$export_dir/shared/created")" = 600:1 ] || fail "chmod or truncate did not reach the export"
  touch "$mnt/shared/by-root" || fail "root creating"
  [ "$(stat -c %u:%g "$export_dir/shared/by-root")" = 0:0 ] || fail "root's file belongs to someone else"
  unmount_and_wait
}

# A server that cannot give a new object to its creator (it runs as an ordinary user): the create
# fails and leaves nothing behind, rather than handing the caller an object it does not own.
case_ownership_refused() {
  chown 65534:65534 "$export_dir"
  mkdir "$work/run" && chown 65534:65534 "$work/run"
  set -m
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$server_bin" --export "$export_dir" --session-file "$work/run/session.json" -f 2>"$work/server.log" &
  server_pid=$!
  set +m
  for _ in $(seq 200); do [ -s "$work/run/session.json" ] && break; sleep 0.02; done
  # Root takes the server's word for its session file, as an administrator who started it would.
  "$brindle" "$work/run/session.json" "$mnt" -f -o allow_other,default_permissions,skip_session_file_check \
    2>"$work/brindle.log" &
  brindle_pid=$!
  for _ in $(seq 300); do mountpoint -q "$mnt" && break; sleep 0.02; done
  mountpoint -q "$mnt" || fail "the mount did not appear"
  chmod 0777 "$mnt" || fail "chmod on the root"
  as_nobody touch "$mnt/servers-own" || fail "the server's own user cannot create"
  setpriv --reuid=65533 --regid=65533 --clear-groups /usr/bin/python3 - "$mnt" <<'PY' || fail "creating as another user"
import errno, os, sys
mnt = sys.argv[1]
for create in (lambda: os.close(os.open(f"{mnt}/other", os.O_CREAT | os.O_WRONLY, 0o644)),
               lambda: os.mkdir(f"{mnt}/other-dir"),
               lambda: os.symlink("x", f"{mnt}/other-link")):
    try:
        create()
    except PermissionError as e:
        assert e.errno == errno.EPERM, e
    else:
        sys.exit("a create the server could not give away succeeded")
PY
  local name
  for name in other other-dir other-link; do
    [ ! -e "$export_dir/$name" ] && [ ! -L "$export_dir/$name" ] || fail "a failed create left $name behind"
  done
  [ -e "$export_dir/servers-own" ] || fail "the server's own user's file is missing"
  unmount_and_wait
}

# A directory's times and link count follow the changes made in it, as the export shows them, with
# the kernel's default attribute timeout; an open file whose name is gone has no links left.
case_directory_attributes() {
  start_server
  mount_foreground
  /usr/bin/python3 - "$mnt" "$export_dir" <<'PY' || fail "directory attributes after changes"
import os, sys, time
mnt, export = sys.argv[1], sys.argv[2]
os.mkdir(f"{mnt}/d")
os.mkdir(f"{mnt}/other")
def same(step):
    here, there = os.stat(f"{mnt}/d"), os.stat(f"{export}/d")
    for field in ("st_nlink", "st_mtime_ns", "st_ctime_ns"):
        if getattr(here, field) != getattr(there, field):
            sys.exit(f"after {step}: {field} is {getattr(here, field)} on the mount, {getattr(there, field)} in the export")
steps = [
    ("create", lambda: open(f"{mnt}/d/f", "w").close()),
    ("mkdir", lambda: os.mkdir(f"{mnt}/d/sub")),
    ("rename within", lambda: os.rename(f"{mnt}/d/f", f"{mnt}/d/g")),
    ("rename out", lambda: os.rename(f"{mnt}/d/g", f"{mnt}/other/g")),
    ("rename in", lambda: os.rename(f"{mnt}/other/g", f"{mnt}/d/h")),
    ("symlink", lambda: os.symlink("h", f"{mnt}/d/l")),
    ("unlink", lambda: os.unlink(f"{mnt}/d/h")),
    ("rmdir", lambda: os.rmdir(f"{mnt}/d/sub")),
]
same("mkdir d")
for step, change in steps:
    time.sleep(0.02)  # apart enough that every change has a later time
    change()
    same(step)

path = f"{mnt}/open-then-gone"
with open(path, "wb") as f:
    f.write(b"data")
fd = os.open(path, os.O_RDONLY)
os.unlink(path)
links = os.fstat(fd).st_nlink
os.close(fd)
if links != 0:
    sys.exit(f"an open unlinked file has {links} links")
PY
  unmount_and_wait
}

# Listings hand the kernel few references (plain READDIR none at all): the items the volume keeps
# stay bounded by what the kernel holds, not by how many names were listed.
case_listing_memory_bounded() {
  start_server
  mkdir "$export_dir/many"
  (cd "$export_dir/many" && seq 3000 | xargs touch) || fail "making 3000 files"
  mount_foreground -d
  find "$mnt/many" >/dev/null || fail "find"
  ls -f "$mnt/many" >/dev/null || fail "ls -f"
  local listed tracked
  listed=$(ls -f "$mnt/many" | wc -l)
  [ "$listed" -ge 3000 ] || fail "the listing shows $listed names"
  tracked=$(grep -o 'fuse listing ino=[0-9]* entries=[0-9]* tracked=[0-9]*' "$work/brindle.log" | tail -1 | sed 's/.*tracked=//')
  [ -n "$tracked" ] || fail "no listing line in the debug log"
  [ "$tracked" -lt 1000 ] || fail "the volume tracks $tracked items after listing 3000 names"
  unmount_and_wait
}

# A listing read again from the start (rewinddir) after a change through the mount, or from a
# position telldir gave, shows the directory as it is, also where the directory's open brought the
# whole listing and the server let its handle go.
case_listing_read_again() {
  start_server
  mkdir "$export_dir/d" && touch "$export_dir/d/a" "$export_dir/d/b" || fail "making the directory"
  mount_foreground -o attr_timeout=0,entry_timeout=0
  python3 - "$mnt/d" <<'PY' || fail "the listing read again"
import ctypes, os, sys

class Dirent(ctypes.Structure):
    _fields_ = [("d_ino", ctypes.c_uint64), ("d_off", ctypes.c_int64), ("d_reclen", ctypes.c_ushort),
                ("d_type", ctypes.c_ubyte), ("d_name", ctypes.c_char * 256)]

libc = ctypes.CDLL(None, use_errno=True)
libc.opendir.restype = ctypes.c_void_p
libc.readdir.restype = ctypes.POINTER(Dirent)
for name in ("readdir", "rewinddir", "telldir", "closedir"):
    getattr(libc, name).argtypes = [ctypes.c_void_p]
libc.telldir.restype = ctypes.c_long
libc.seekdir.argtypes = [ctypes.c_void_p, ctypes.c_long]

def names(handle):
    found = []
    while entry := libc.readdir(handle):
        name = entry.contents.d_name.decode()
        if name not in (".", ".."):
            found.append(name)
    return found

path = sys.argv[1]
handle = libc.opendir(path.encode())
assert handle, os.strerror(ctypes.get_errno())
assert sorted(names(handle)) == ["a", "b"]
open(os.path.join(path, "c"), "w").close()
libc.rewinddir(handle)
again = names(handle)
assert sorted(again) == ["a", "b", "c"], f"after rewinddir: {again}"
libc.rewinddir(handle)
first = libc.readdir(handle).contents.d_name.decode()
position = libc.telldir(handle)
rest = names(handle)
libc.seekdir(handle, position)
assert names(handle) == rest, f"after seekdir: not {rest}"
assert sorted([first] + rest) in (["a", "b", "c"], [".", "a", "b", "c"], ["..", "a", "b", "c"]), [first] + rest
libc.closedir(handle)
PY
  unmount_and_wait
}

# A name that is not UTF-8 cannot travel to the server: every call that carries one is refused with
# EILSEQ, and the mount goes on working.
case_names_not_utf8() {
  # With extended attributes served, so that their names meet the check too.
  start_server --namedattr
  mount_foreground -o attr_timeout=0,entry_timeout=0
  mkdir "$mnt/d" && echo kept >"$mnt/d/file" || fail "setting up"
  /usr/bin/python3 - "$mnt" <<'PY' || fail "calls with a name that is not UTF-8"
import errno, os, sys
mnt = os.fsencode(sys.argv[1])
bad = mnt + b"/d/caf\xe9"
calls = {
    "open(O_CREAT)": lambda: os.close(os.open(bad, os.O_CREAT | os.O_WRONLY, 0o644)),
    "mknod": lambda: os.mknod(bad, 0o100644),
    "mkdir": lambda: os.mkdir(bad),
    "symlink": lambda: os.symlink(b"file", bad),
    "symlink to it": lambda: os.symlink(b"caf\xe9", mnt + b"/d/link"),
    "stat": lambda: os.stat(bad),
    "unlink": lambda: os.unlink(bad),
    "rmdir": lambda: os.rmdir(bad),
    "rename to it": lambda: os.rename(mnt + b"/d/file", bad),
    "rename from it": lambda: os.rename(bad, mnt + b"/d/other"),
    "setxattr": lambda: os.setxattr(mnt + b"/d/file", b"user.\xff", b"v"),
    "getxattr": lambda: os.getxattr(mnt + b"/d/file", b"user.\xff"),
    "removexattr": lambda: os.removexattr(mnt + b"/d/file", b"user.\xff"),
}
wrong = []
for name, call in calls.items():
    try:
        call()
        wrong.append(f"{name} succeeded")
    except OSError as e:
        if e.errno != errno.EILSEQ:
            wrong.append(f"{name}: {errno.errorcode.get(e.errno, e.errno)}")
if wrong:
    sys.exit("; ".join(wrong))
PY
  [ "$(cat "$mnt/d/file")" = kept ] || fail "the mount stopped working"
  [ "$(ls "$mnt/d")" = file ] || fail "the directory now lists $(ls "$mnt/d")"
  # One made behind the mount is left out of listings, plain and with attributes alike.
  touch "$export_dir/d/$(printf 'caf\xe9')" "$export_dir/d/after"
  [ "$(ls "$mnt/d" | tr '\n' ' ')" = "after file " ] || fail "ls lists $(ls "$mnt/d" | od -c | head -2)"
  [ "$(ls -l "$mnt/d" | grep -c '^-')" = 2 ] || fail "ls -l lists $(ls -l "$mnt/d")"
  [ "$(cat "$mnt/d/file")" = kept ] || fail "the mount stopped working after listing"
  unmount_and_wait
}

"case_$case_name"
echo "ok: $case_name"
