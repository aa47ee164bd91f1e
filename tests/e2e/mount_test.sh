#!/usr/bin/env bash
# Mounts a brindle-server export through brindle and runs ordinary programs on it, comparing
# with the export on disk. Usage: mount_test.sh BRINDLE BRINDLE_SERVER CASE
# Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

# These cases look at the server through the mount, so the kernel caches nothing.
mount_uncached() { mount_foreground -o attr_timeout=0,entry_timeout=0 "$@"; }

make_tree() {  # make_tree DIR: nested directories, files of several sizes, a symbolic link
  local dir=$1
  mkdir -p "$dir/a/b/c" "$dir/empty"
  for i in $(seq 20); do head -c $((i * 997)) /dev/urandom >"$dir/a/file$i"; done
  echo "deep" >"$dir/a/b/c/deep.txt"
  printf '' >"$dir/zero"
  chmod 0600 "$dir/a/file1"
  chmod 0750 "$dir/a/b"
  ln -s a/b/c/deep.txt "$dir/link"
  touch -d "2001-02-03 04:05:06" "$dir/a/file2"
}

case_copy_tree() {
  start_server
  mount_uncached
  make_tree "$work/src"
  cp -a "$work/src" "$mnt/tree" || fail "cp -a into the mount"
  diff -r "$work/src" "$export_dir/tree" || fail "the export differs from the source"
  cp -a "$mnt/tree" "$work/out" || fail "cp -a out of the mount"
  diff -r "$work/src" "$work/out" || fail "the copy out differs"
  [ "$(stat -c %a "$export_dir/tree/a/file1")" = 600 ] || fail "mode not kept"
  [ "$(stat -c %Y "$export_dir/tree/a/file2")" = "$(stat -c %Y "$work/src/a/file2")" ] || fail "mtime not kept"
  [ "$(readlink "$work/out/link")" = a/b/c/deep.txt ] || fail "link target not kept"
  unmount_and_wait
}

case_tar_and_rm() {
  start_server
  mount_uncached
  mkdir -p "$work/many"
  for d in $(seq 10); do
    mkdir "$work/many/d$d"
    for f in $(seq 300); do echo "$d/$f" >"$work/many/d$d/f$f"; done
  done
  tar -C "$work" -cf "$work/many.tar" many
  tar -C "$mnt" -xf "$work/many.tar" || fail "tar extract"
  [ "$(find "$export_dir/many" -type f | wc -l)" = 3000 ] || fail "not all 3000 files arrived"
  [ "$(find "$mnt/many" -type f | wc -l)" = 3000 ] || fail "the mount does not list all 3000 files"
  diff -r "$work/many" "$export_dir/many" || fail "extracted contents differ"
  rm -rf "$mnt/many" || fail "rm -rf on the mount"
  [ ! -e "$export_dir/many" ] || fail "rm -rf left files behind"
  unmount_and_wait
}

case_rename() {
  start_server
  mount_uncached
  mkdir "$mnt/d1" "$mnt/d2"
  echo one >"$mnt/d1/a"
  echo two >"$mnt/d1/b"
  mv "$mnt/d1/a" "$mnt/d1/a2" || fail "mv within a directory"
  [ "$(cat "$export_dir/d1/a2")" = one ] && [ ! -e "$export_dir/d1/a" ] || fail "rename within"
  mv "$mnt/d1/a2" "$mnt/d2/a3" || fail "mv across directories"
  [ "$(cat "$export_dir/d2/a3")" = one ] || fail "rename across"
  mv -f "$mnt/d1/b" "$mnt/d2/a3" || fail "mv over an existing file"
  [ "$(cat "$export_dir/d2/a3")" = two ] && [ ! -e "$export_dir/d1/b" ] || fail "rename over"
  [ "$(cat "$mnt/d2/a3")" = two ] || fail "the mount shows the old file after rename over"
  mv "$mnt/d2" "$mnt/d1/d2" || fail "mv of a directory"
  [ -f "$export_dir/d1/d2/a3" ] || fail "directory rename"
  expect_errno EINVAL "import ctypes; libc = ctypes.CDLL(None, use_errno=True)
r = libc.renameat2(-100, b'$mnt/d1', -100, b'$mnt/x', 1)
if r != 0: raise OSError(ctypes.get_errno(), 'renameat2')"
  # Removals and renames of names the kernel already holds, after those names moved on.
  echo old >"$mnt/d1/x"
  mv "$mnt/d1/x" "$mnt/d1/y" || fail "mv x y"
  echo new >"$mnt/d1/x"
  rm "$mnt/d1/y" || fail "rm of a renamed file"
  [ "$(cat "$export_dir/d1/x")" = new ] && [ ! -e "$export_dir/d1/y" ] || fail "rm of y touched x"
  mv "$mnt/d1/d2" "$mnt/d3" && rm "$mnt/d3/a3" && rmdir "$mnt/d3" || fail "rm in a renamed directory"
  [ ! -e "$export_dir/d3" ] || fail "the renamed directory is still on the export"
  expect_errno ENOENT "os.unlink('$mnt/d1/y')"
  # Replaced on the export behind the mount's back: a file the kernel knows is now a directory.
  stat "$mnt/d1/x" >/dev/null
  rm "$export_dir/d1/x" && mkdir "$export_dir/d1/x" && touch "$export_dir/d1/x/inside"
  rm -f "$mnt/d1/x" 2>/dev/null
  [ -f "$export_dir/d1/x/inside" ] || fail "rm of what the mount knew as a file removed a directory"
  # A directory the kernel knows moved behind the mount: renaming it under its new name must not
  # trip over the old name the kernel still holds.
  mkdir "$mnt/p" "$mnt/q" "$mnt/o" "$mnt/q/h"
  stat "$mnt/q/h" >/dev/null
  mv "$export_dir/q/h" "$export_dir/p/r"
  mv "$mnt/p/r" "$mnt/o/new" || fail "mv of a directory that moved behind the mount"
  [ -d "$export_dir/o/new" ] || fail "the moved directory did not arrive"
  unmount_and_wait
}

case_links_and_attributes() {
  start_server
  mount_uncached
  ln -s some/target "$mnt/l" || fail "ln -s"
  [ "$(readlink "$mnt/l")" = some/target ] && [ "$(readlink "$export_dir/l")" = some/target ] || fail "readlink"
  echo data >"$mnt/f"
  expect_errno EOPNOTSUPP "os.link('$mnt/f', '$mnt/hard')"
  expect_errno EOPNOTSUPP "os.mkfifo('$mnt/fifo')"
  chmod 0640 "$mnt/f" && [ "$(stat -c %a "$export_dir/f")" = 640 ] || fail "chmod"
  touch -d "2010-01-02 03:04:05" "$mnt/f" || fail "touch -d"
  [ "$(stat -c %Y "$export_dir/f")" = "$(date -d "2010-01-02 03:04:05" +%s)" ] || fail "mtime on disk"
  touch "$mnt/f" || fail "touch (now)"
  [ $(( $(date +%s) - $(stat -c %Y "$export_dir/f") )) -lt 60 ] || fail "touch now"
  cp "$export_dir/f" "$work/ref"
  truncate -s 12345 "$mnt/f" && truncate -s 12345 "$work/ref" || fail "truncate"
  dd if=/dev/urandom of="$work/chunk" bs=1000 count=3 status=none
  dd if="$work/chunk" of="$mnt/f" bs=1000 seek=7 conv=notrunc status=none || fail "dd with an offset"
  dd if="$work/chunk" of="$work/ref" bs=1000 seek=7 conv=notrunc status=none
  dd if="$work/chunk" of="$mnt/f" bs=1 seek=20000 count=10 status=none
  dd if="$work/chunk" of="$work/ref" bs=1 seek=20000 count=10 status=none
  cmp "$work/ref" "$export_dir/f" || fail "dd results differ on disk"
  cmp "$work/ref" "$mnt/f" || fail "dd results differ through the mount"
  dd if="$mnt/f" bs=1000 skip=7 count=3 status=none | cmp - "$work/chunk" || fail "dd read at an offset"
  df -h "$mnt" >/dev/null || fail "df"
  unmount_and_wait
}

case_big_file() {
  start_server
  mount_uncached -d
  head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/big"
  dd if="$work/big" of="$mnt/big" bs=1M status=none || fail "writing 100 MiB"
  [ "$(sha256sum <"$export_dir/big")" = "$(sha256sum <"$work/big")" ] || fail "checksum on disk"
  echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true
  [ "$(sha256sum <"$mnt/big")" = "$(sha256sum <"$work/big")" ] || fail "checksum through the mount"
  grep -q "size=1048576" "$work/brindle.log" || fail "no 1 MiB write reached brindle"
  local read_ahead=/sys/class/bdi/$(mountpoint -d "$mnt")/read_ahead_kb
  if [ -w "$read_ahead" ]; then
    [ "$(cat "$read_ahead")" -ge 1024 ] || fail "read-ahead is $(cat "$read_ahead") KiB, not raised to 1 MiB"
  fi
  unmount_and_wait
}

case_open_unlinked_and_two_writers() {
  start_server
  mount_uncached
  python3 - "$mnt" <<'PY' || fail "an unlinked open file"
import os, sys
path = os.path.join(sys.argv[1], "gone")
with open(path, "wb") as f:
    f.write(b"still here")
fd = os.open(path, os.O_RDONLY)
os.unlink(path)
assert not os.path.exists(path)
data = os.pread(fd, 100, 0)
os.close(fd)
assert data == b"still here", data
PY
  python3 - "$mnt/shared" <<'PY' || fail "two writers on one file"
import os, sys
path = sys.argv[1]
open(path, "wb").close()
children = []
for k in range(2):
    pid = os.fork()
    if pid == 0:
        fd = os.open(path, os.O_WRONLY)
        for i in range(64):
            os.pwrite(fd, bytes([65 + k]) * 4096, (2 * i + k) * 4096)
        os.close(fd)
        os._exit(0)
    children.append(pid)
for pid in children:
    assert os.waitpid(pid, 0)[1] == 0
data = open(path, "rb").read()
assert len(data) == 128 * 4096, len(data)
for i in range(128):
    assert data[i * 4096:(i + 1) * 4096] == bytes([65 + i % 2]) * 4096, i
PY
  cmp "$mnt/shared" "$export_dir/shared" || fail "the writers' file differs on disk"
  unmount_and_wait
}

case_xattrs() {
  start_server --namedattr
  mount_uncached
  echo x >"$mnt/f"
  python3 - "$mnt/f" <<'PY' || fail "extended attributes"
import errno, os, sys
p = sys.argv[1]
os.setxattr(p, "user.colour", b"blue")
assert os.getxattr(p, "user.colour") == b"blue"
assert "user.colour" in os.listxattr(p)
try:
    os.setxattr(p, "user.colour", b"red", os.XATTR_CREATE)
    sys.exit("XATTR_CREATE replaced a value")
except OSError as e:
    assert e.errno == errno.EEXIST, e
try:
    os.setxattr(p, "user.none", b"v", os.XATTR_REPLACE)
    sys.exit("XATTR_REPLACE created a value")
except OSError as e:
    assert e.errno == errno.ENODATA, e
import ctypes
libc = ctypes.CDLL(None, use_errno=True)
assert libc.getxattr(p.encode(), b"user.colour", None, 0) == 4
buffer = ctypes.create_string_buffer(2)
assert libc.getxattr(p.encode(), b"user.colour", buffer, 2) == -1 and ctypes.get_errno() == errno.ERANGE
os.removexattr(p, "user.colour")
try:
    os.getxattr(p, "user.colour")
    sys.exit("removed attribute still there")
except OSError as e:
    assert e.errno == errno.ENODATA, e
PY
  # No ACLs: refused as on a local file system without them, so cp and sed set modes by chmod.
  expect_errno EOPNOTSUPP "os.setxattr('$mnt/f', 'system.posix_acl_access', b'\\x02\\0\\0\\0')"
  echo x >"$work/f755" && chmod 0755 "$work/f755"
  cp -a "$work/f755" "$mnt/copied" && [ "$(stat -c %a "$export_dir/copied")" = 755 ] || fail "cp -a lost the mode"
  echo a >"$mnt/edited" && chmod 0640 "$mnt/edited"
  sed -i s/a/b/ "$mnt/edited" && [ "$(stat -c %a "$export_dir/edited")" = 640 ] || fail "sed -i lost the mode"
  unmount_and_wait
  kill "$server_pid"; wait "$server_pid" 2>/dev/null; server_pid=
  rm -f "$work/session.json"
  start_server
  mount_uncached
  expect_errno EOPNOTSUPP "os.setxattr('$mnt/f', 'user.a', b'1')"
  unmount_and_wait
}

# Attributes outside user. are refused as a local file system refuses an unprivileged process, and
# never reach the export as user attributes, where anyone who may write the file could forge them.
# What today's and earlier servers stored stays readable under its name.
case_xattr_namespaces() {
  echo x >"$export_dir/f"
  setfattr_export() { python3 -c 'import os, sys; os.setxattr(sys.argv[1], sys.argv[2], b"v")' "$export_dir/f" "$1"; }
  setfattr_export user.user.kept
  # An attacker who writes the export's file cannot make a privileged attribute appear on the mount.
  setfattr_export user.trusted.forged
  setfattr_export user.security.forged
  start_server --namedattr
  mount_uncached
  expect_errno EPERM "os.setxattr('$mnt/f', 'trusted.x', b'1')"
  expect_errno EPERM "os.setxattr('$mnt/f', 'security.x', b'1')"
  expect_errno EPERM "os.removexattr('$mnt/f', 'trusted.forged')"
  expect_errno ENODATA "os.getxattr('$mnt/f', 'trusted.forged')"
  expect_errno ENODATA "os.getxattr('$mnt/f', 'security.forged')"
  expect_errno EOPNOTSUPP "os.setxattr('$mnt/f', 'other.x', b'1')"
  expect_errno EOPNOTSUPP "os.getxattr('$mnt/f', 'other.x')"
  [ "$(python3 -c 'import os, sys; print(" ".join(sorted(os.listxattr(sys.argv[1]))))' "$mnt/f")" = user.kept ] ||
    fail "the mount lists: $(python3 -c 'import os, sys; print(os.listxattr(sys.argv[1]))' "$mnt/f")"
  python3 -c 'import os, sys; assert os.getxattr(sys.argv[1], "user.kept") == b"v"' "$mnt/f" ||
    fail "an attribute an earlier server stored is no longer readable"
  local stored
  stored=$(python3 -c 'import os, sys; print(" ".join(sorted(os.listxattr(sys.argv[1]))))' "$export_dir/f")
  [ "$stored" = "user.security.forged user.trusted.forged user.user.kept" ] || fail "the export holds: $stored"
  unmount_and_wait
}

case_readonly() {
  echo keep >"$export_dir/f"
  start_server --readonly
  mount_uncached
  [ "$(cat "$mnt/f")" = keep ] || fail "reading a read-only mount"
  expect_errno EROFS "open('$mnt/f', 'w')"
  expect_errno EROFS "open('$mnt/new', 'w')"
  expect_errno EROFS "os.mkdir('$mnt/d')"
  expect_errno EROFS "os.unlink('$mnt/f')"
  [ "$(cat "$export_dir/f")" = keep ] && [ ! -e "$export_dir/new" ] || fail "the export changed"
  unmount_and_wait
}

case_refused_handshake() {
  start_server
  python3 - "$work/session.json" <<'PY'
import json, sys
path = sys.argv[1]
session = json.load(open(path))
session["auth_token"] = "0" * len(session["auth_token"])
json.dump(session, open(path, "w"))
PY
  "$brindle" "$work/session.json" "$mnt" 2>"$work/brindle.log"
  local status=$?
  [ "$status" = 1 ] || fail "brindle exited $status on a refused handshake"
  grep -q "load failed" "$work/brindle.log" || fail "no load failure reported: $(cat "$work/brindle.log")"
  ! mountpoint -q "$mnt" || fail "something was mounted"
  "$brindle" "$work/session.json" "$mnt" -o bogus 2>"$work/brindle.log"
  [ $? = 2 ] && grep -q "unknown mount option 'bogus'" "$work/brindle.log" || fail "unknown option accepted"
}

case_daemon_and_signals() {
  start_server
  "$brindle" "$work/session.json" "$mnt" 2>"$work/daemon.err" || fail "brindle without -f failed"
  mountpoint -q "$mnt" || fail "brindle returned before the mount was ready"
  # In the background the log goes to syslog; without a daemon there, brindle says so.
  if [ -S /dev/log ]; then
    [ ! -s "$work/daemon.err" ] || fail "brindle printed: $(cat "$work/daemon.err")"
  else
    grep -q "^brindle: no syslog daemon listens on /dev/log" "$work/daemon.err" ||
      fail "a mount whose log is lost did not say so"
  fi
  ls "$mnt" >/dev/null || fail "ls right after mounting"
  fusermount3 -u "$mnt" || fail "fusermount3 -u"
  "$brindle" "$work/session.json" "$mnt" || fail "brindle without -f failed a second time"
  umount "$mnt" || fail "umount"
  for _ in $(seq 250); do
    pgrep -f "^$brindle $work/session.json" >/dev/null || break
    sleep 0.02
  done
  ! pgrep -f "^$brindle $work/session.json" >/dev/null || fail "brindle stayed after umount"
  local signal status
  for signal in TERM INT; do
    mount_uncached
    kill -"$signal" "$brindle_pid"
    wait "$brindle_pid"
    status=$?
    brindle_pid=
    [ "$status" = 0 ] || fail "brindle exited $status on SIG$signal"
    ! mountpoint -q "$mnt" || fail "SIG$signal left the mount"
  done
}

case_server_killed() {
  start_server
  mount_uncached
  dd if=/dev/zero of="$mnt/big" bs=1M count=4000 status=none 2>"$work/dd.log" &
  local copy_pid=$!
  for _ in $(seq 500); do
    [ "$(stat -c %s "$export_dir/big" 2>/dev/null || echo 0)" -ge $((8 * 1024 * 1024)) ] && break
    sleep 0.01
  done
  kill -KILL "$server_pid"; wait "$server_pid" 2>/dev/null; server_pid=
  local began=$SECONDS
  wait "$copy_pid" && fail "the copy succeeded without a server"
  [ $((SECONDS - began)) -lt 20 ] || fail "the copy took too long to fail"
  began=$SECONDS
  timeout 20 ls "$mnt" >/dev/null 2>&1 && fail "ls succeeded without a server"
  [ $((SECONDS - began)) -lt 10 ] || fail "ls did not fail fast"
  # The volume's statistics too: zeros would read as an empty volume.
  timeout 20 python3 -c "import os, sys; os.statvfs(sys.argv[1])" "$mnt" 2>/dev/null && fail "statfs succeeded without a server"
  unmount_and_wait
}

# A directory changed between two reads of one listing goes on being listed: every entry that
# stays is seen exactly once.
case_listing_while_changing() {
  start_server
  mount_uncached
  mkdir "$mnt/d"
  for i in $(seq 200); do : >"$mnt/d/file$i"; done
  python3 - "$mnt/d" <<'PY' || fail "listing a directory that changes"
import ctypes, os, struct, sys
directory = sys.argv[1]
libc = ctypes.CDLL(None, use_errno=True)
fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
buffer = ctypes.create_string_buffer(512)
seen, removed, rounds = [], set(), 0
while True:
    n = libc.syscall(217, fd, buffer, len(buffer))  # getdents64, a few entries at a time
    if n < 0:
        sys.exit(f"getdents64 failed: {os.strerror(ctypes.get_errno())}")
    if n == 0:
        break
    at = 0
    while at < n:
        _, _, length, _ = struct.unpack_from("<QqHB", buffer.raw, at)
        name = buffer.raw[at + 19:at + length].split(b"\0", 1)[0].decode()
        seen.append(name)
        at += length
    rounds += 1
    open(os.path.join(directory, f"new{rounds}"), "w").close()
    victim = f"file{200 - rounds}"
    if victim not in seen:
        os.unlink(os.path.join(directory, victim))
        removed.add(victim)
os.close(fd)
assert rounds > 3, rounds
originals = [name for name in seen if name.startswith("file")]
assert len(originals) == len(set(originals)), "an entry came twice"
missing = {f"file{i}" for i in range(1, 201)} - removed - set(originals)
assert not missing, f"entries that stayed were skipped: {sorted(missing)[:5]}"
PY
  grep -q "stale verifier" "$work/brindle.log" || fail "the listing never went on across a change"
  rm -rf "$mnt/d" || fail "rm -rf after the listing"
  unmount_and_wait
}

# A server that keeps its socket open but stops answering: the host's 30-second bound answers EIO,
# and the replies that come once the server runs again are dropped.
case_server_stopped() {
  start_server
  mount_uncached
  echo before >"$mnt/f"
  kill -STOP "$server_pid"
  local began=$SECONDS
  expect_errno EIO "os.stat('$mnt/never-there')"
  local waited=$((SECONDS - began))
  [ "$waited" -ge 25 ] && [ "$waited" -lt 45 ] || fail "the stalled request took ${waited} s"
  kill -CONT "$server_pid"
  [ "$(cat "$mnt/f")" = before ] || fail "the mount does not work once the server answers again"
  kill -0 "$brindle_pid" || fail "brindle died on the late reply"
  unmount_and_wait
}

"case_$case_name"
echo "ok: $case_name"
