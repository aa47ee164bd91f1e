#!/usr/bin/env bash
# The smallest steps by which a mount has lost data, names or permissions, each checked against
# what a local file system does: the export on disk, and the mount as other users see it.
# Usage: data_safety.sh BRINDLE BRINDLE_SERVER CASE
set -uo pipefail

brindle=$(realpath "$1")
server_bin=$(realpath "$2")
case_name=$3
source "$(dirname "$0")/mount_fixture.sh"

as_nobody() {
  setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
}

# The usual multi-user mount: the kernel checks permissions, the caches keep their defaults.
mount_shared() {
  mount_foreground -o allow_other,default_permissions "$@"
}

# -- contents ---------------------------------------------------------------------------------------

check_truncated_on_open() {  # check_truncated_on_open WHERE: shell, cp and Python over a longer file
  printf 'hello world, a longer line\n' >"$mnt/f"
  printf 'hi\n' >"$mnt/f"
  [ "$(cat "$export_dir/f")" = hi ] || fail "$1: > over a longer file left '$(head -c 40 "$export_dir/f")' on the export"
  [ "$(cat "$mnt/f")" = hi ] || fail "$1: > over a longer file reads '$(head -c 40 "$mnt/f")'"
  printf 'x\n' >"$work/short"
  printf 'a much longer old content\n' >"$mnt/g"
  cp "$work/short" "$mnt/g" || fail "$1: cp over a file"
  cmp "$work/short" "$export_dir/g" || fail "$1: cp over a longer file left its tail on the export"
  python3 -c "open('$mnt/g', 'w').write('y')" || fail "$1: Python's open for writing"
  [ "$(cat "$export_dir/g")" = y ] && [ "$(stat -c %s "$export_dir/g")" = 1 ] ||
    fail "$1: open(path, 'w') did not truncate on the export"
}

case_truncate_on_open() {
  start_server
  mount_shared
  check_truncated_on_open "without writeback cache"
  unmount_and_wait
}

case_truncate_on_open_writeback() {
  start_server
  mount_shared -o writeback_cache
  check_truncated_on_open "with writeback cache"
  unmount_and_wait
}

# -- names ------------------------------------------------------------------------------------------

# A name that is not UTF-8, made on the export, is left out of the mount's listings and refused by
# name; every other entry stays listed and served, and the mount keeps working.
case_non_utf8_name() {
  echo before >"$export_dir/before"
  start_server
  mount_shared
  ls "$mnt" >/dev/null || fail "ls before the odd name"
  echo odd >"$export_dir/$(printf 'caf\xe9')"
  echo after >"$export_dir/after"
  mkdir "$export_dir/$(printf 'd\xff')"
  sleep 1.2  # past the default one-second caches
  local listing
  listing=$(ls -A "$mnt") || fail "ls of a directory holding a name that is not UTF-8"
  [ "$listing" = "$(printf 'after\nbefore')" ] || fail "the mount lists '$listing'"
  expect_errno EILSEQ "os.stat(b'$mnt/caf\\xe9')"
  expect_errno EILSEQ "open(b'$mnt/caf\\xe9', 'w')"
  [ "$(cat "$mnt/before")" = before ] && [ "$(cat "$mnt/after")" = after ] || fail "other entries are not served"
  echo new >"$mnt/new" && [ "$(cat "$export_dir/new")" = new ] || fail "the mount stopped working"
  [ "$(cat "$export_dir/$(printf 'caf\xe9')")" = odd ] || fail "the odd file changed on the export"
  unmount_and_wait
}

# Long paths below the export root: the full path on the server passes PATH_MAX while each
# request names only one component. A create just past the limit works, or fails leaving
# nothing behind; and directories go on to any depth.
case_long_paths() {
  start_server
  mount_shared
  python3 - "$mnt" "$export_dir" <<'PY' || fail "paths of 4096 bytes and more"
import os, sys
mount, export = sys.argv[1], sys.argv[2]
# Directories whose full path on the export is 3950 bytes: a 200-byte name in them passes 4096.
chain = ["n" * 250] * ((3950 - len(export)) // 251)
rest = 3950 - len(export) - 251 * len(chain)
chain += ["m" * (rest - 1)] if rest > 1 else []
def descend(fd, names, create):  # by descriptors, one name at a time; they stay open
    for name in names:
        if create:
            os.mkdir(name, 0o755, dir_fd=fd)
        fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    return fd
on_export = descend(os.open(export, os.O_RDONLY), chain, create=True)
deep = descend(os.open(mount, os.O_RDONLY), chain, create=False)
name = "f" * 200
try:
    fd = os.open(name, os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o644, dir_fd=deep)
except OSError as e:
    left = os.listdir(on_export)
    sys.exit(f"create 4150 bytes below the root: {os.strerror(e.errno)}"
             + (f"; and it left {len(left)} entries on the export" if left else ""))
os.write(fd, b"deep data")
os.close(fd)
assert os.stat(name, dir_fd=deep).st_size == 9
fd = os.open(name, os.O_RDONLY, dir_fd=deep)
assert os.read(fd, 100) == b"deep data"
os.close(fd)
os.rename(name, "moved", src_dir_fd=deep, dst_dir_fd=deep)
assert os.listdir(on_export) == ["moved"], os.listdir(on_export)
os.unlink("moved", dir_fd=deep)
deeper = descend(deep, ["d" * 250] * 10, create=True)
fd = os.open("bottom", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=deeper)
os.close(fd)
assert os.listdir(deeper) == ["bottom"]
PY
  rm -rf "$mnt/$(printf 'n%.0s' $(seq 250))" || fail "rm -rf of the deep tree"
  [ -z "$(ls -A "$export_dir")" ] || fail "the deep tree is still on the export"
  unmount_and_wait
}

# -- permissions and owners -------------------------------------------------------------------------

case_chmod_000() {
  start_server
  mount_shared
  echo secret >"$mnt/secret"
  chmod 000 "$mnt/secret" || fail "chmod 000"
  [ "$(stat -c %a "$mnt/secret")" = 0 ] || fail "the mount shows mode $(stat -c %a "$mnt/secret") after chmod 000"
  [ "$(stat -c %a "$export_dir/secret")" = 0 ] || fail "the export has mode $(stat -c %a "$export_dir/secret")"
  ! as_nobody cat "$mnt/secret" 2>/dev/null || fail "another user read a file of mode 000"
  mkdir "$mnt/closed" && echo inside >"$mnt/closed/f" && chmod 000 "$mnt/closed" || fail "a closed directory"
  ! as_nobody ls "$mnt/closed" >/dev/null 2>&1 || fail "another user listed a directory of mode 000"
  unmount_and_wait
}

# What another user makes through the mount is theirs, as on a local file system, and they may
# change it.
case_owner_of_created() {
  start_server
  mount_shared
  chmod 0777 "$mnt"
  as_nobody sh -c "echo mine >'$mnt/theirs' && mkdir '$mnt/their-dir' && ln -s theirs '$mnt/their-link'" ||
    fail "another user creating on the mount"
  local object
  for object in theirs their-dir their-link; do
    [ "$(stat -c %u:%g "$mnt/$object")" = 65534:65534 ] || fail "$object belongs to $(stat -c %u:%g "$mnt/$object") on the mount"
    [ "$(stat -c %u:%g "$export_dir/$object")" = 65534:65534 ] || fail "$object belongs to $(stat -c %u:%g "$export_dir/$object") on the export"
  done
  as_nobody chmod 0600 "$mnt/theirs" || fail "the creator may not chmod its file"
  as_nobody truncate -s 2 "$mnt/theirs" || fail "the creator may not truncate its file"
  as_nobody touch -d "2011-01-01" "$mnt/theirs" || fail "the creator may not set its file's times"
  as_nobody chgrp 65534 "$mnt/theirs" || fail "the creator may not chown its file to its own group"
  [ "$(stat -c %a:%s "$export_dir/theirs")" = 600:2 ] || fail "the creator's changes did not reach the export"
  unmount_and_wait
}

# cp sets the times while the new file is still open for writing; the mode it was created with
# takes effect at the last close, not before, and not never.
case_cp_preserve_timestamps() {
  start_server
  mount_shared
  echo readonly >"$work/ro"
  chmod 0444 "$work/ro"
  touch -d "2005-06-07 08:09:10" "$work/ro"
  cp --preserve=timestamps "$work/ro" "$mnt/ro" || fail "cp --preserve=timestamps"
  [ "$(stat -c %a "$mnt/ro")" = 444 ] || fail "the copy has mode $(stat -c %a "$mnt/ro") on the mount"
  [ "$(stat -c %a "$export_dir/ro")" = 444 ] || fail "the copy has mode $(stat -c %a "$export_dir/ro") on the export"
  [ "$(stat -c %Y "$export_dir/ro")" = "$(stat -c %Y "$work/ro")" ] || fail "the copy lost its modification time"
  cp -a "$work/ro" "$mnt/ro-a" || fail "cp -a"
  [ "$(stat -c %a "$export_dir/ro-a")" = 444 ] || fail "cp -a gave mode $(stat -c %a "$export_dir/ro-a")"
  unmount_and_wait
}

# A file created 0444 and written stays writable until its last close, whatever looks at it in
# between: listings and lookups refresh it from the server and must keep the mode to come.
case_read_only_file_looked_at_while_open() {
  start_server
  mount_shared
  python3 - "$mnt" <<'PY' || fail "a new 0444 file looked at and listed before its last close"
import os, sys
directory = sys.argv[1]
path = os.path.join(directory, "looked-at")
fd = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o444)
os.write(fd, b"data")
for _ in range(3):
    os.listdir(directory)
    os.stat(path)
os.close(fd)
mode = os.stat(path).st_mode & 0o7777
assert mode == 0o444, oct(mode)
PY
  [ "$(stat -c %a "$export_dir/looked-at")" = 444 ] || fail "the export has mode $(stat -c %a "$export_dir/looked-at")"
  unmount_and_wait
}

# The mode to come belongs to the object, not to its name: renamed on the export while open
# through the mount, the file still gets it at its last close.
case_read_only_file_renamed_behind_while_open() {
  start_server
  mount_shared
  mkdir "$mnt/moved-to"
  python3 - "$mnt" "$export_dir" <<'PY' || fail "a new 0444 file renamed on the export before its last close"
import os, sys, time
mount, export = sys.argv[1], sys.argv[2]
fd = os.open(os.path.join(mount, "new"), os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o444)
os.write(fd, b"data")
os.rename(os.path.join(export, "new"), os.path.join(export, "moved-to", "renamed"))
os.close(fd)
time.sleep(1.2)  # past the default one-second caches
modes = [oct(os.stat(os.path.join(root, "moved-to", "renamed")).st_mode & 0o7777) for root in (mount, export)]
assert modes == ["0o444", "0o444"], f"mount, export: {modes}"
PY
  unmount_and_wait
}

# A mode set on the export while the new file is open through the mount is the newer word: the
# mode the file was created with does not come back over it at the last close.
case_read_only_file_chmod_behind_while_open() {
  start_server
  mount_shared
  python3 - "$mnt" "$export_dir" <<'PY' || fail "a mode set on the export before the creator's last close"
import os, sys, time
mount, export = sys.argv[1], sys.argv[2]
fd = os.open(os.path.join(mount, "new"), os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o444)
os.write(fd, b"data")
os.chmod(os.path.join(export, "new"), 0o600)
time.sleep(1.2)  # past the default one-second caches
os.stat(os.path.join(mount, "new"))
os.close(fd)
time.sleep(0.2)
modes = [oct(os.stat(os.path.join(root, "new")).st_mode & 0o7777) for root in (mount, export)]
assert modes == ["0o600", "0o600"], f"mount, export: {modes}"
PY
  unmount_and_wait
}

# -- attributes that follow changes -----------------------------------------------------------------

# After each change in a directory, the mount shows the directory's modification and change
# times and link count as they are on the export.
case_directory_attributes() {
  start_server
  mount_shared
  mkdir "$mnt/d"
  stat "$mnt/d" >/dev/null
  local step
  for step in "touch d/f" "mkdir d/sub" "mv d/f d/g" "mv d/g moved" "mkdir d/sub2" "rmdir d/sub" "rm moved" \
    "ln -s x d/l" "rm d/l"; do
    sleep 0.01  # past a tick of the clock that stamps changes, so each step gives new times
    (cd "$mnt" && $step) || fail "$step"
    [ "$(stat -c %y/%z/%h "$mnt/d")" = "$(stat -c %y/%z/%h "$export_dir/d")" ] ||
      fail "after '$step' the mount shows d as $(stat -c %y/%z/%h "$mnt/d"), the export $(stat -c %y/%z/%h "$export_dir/d")"
    [ "$(stat -c %y/%z/%h "$mnt")" = "$(stat -c %y/%z/%h "$export_dir")" ] ||
      fail "after '$step' the mount shows its root as $(stat -c %y/%z/%h "$mnt"), the export $(stat -c %y/%z/%h "$export_dir")"
  done
  unmount_and_wait
}

# An open file or directory whose name is gone is still there for its descriptor, with no links.
case_open_unlinked_nlink() {
  start_server
  mount_shared
  echo data >"$mnt/gone"
  python3 - "$mnt/gone" <<'PY' || fail "fstat of an open, unlinked file"
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR)
assert os.fstat(fd).st_nlink == 1
os.unlink(sys.argv[1])
nlink = os.fstat(fd).st_nlink
assert nlink == 0, f"link count {nlink} after unlink"
os.pwrite(fd, b"more", 5)
assert os.pread(fd, 100, 0) == b"data\nmore"
st = os.fstat(fd)
assert (st.st_nlink, st.st_size) == (0, 9), (st.st_nlink, st.st_size)
os.close(fd)
PY
  mkdir "$mnt/gone-dir"
  python3 - "$mnt/gone-dir" <<'PY' || fail "fstat of an open, removed directory"
import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
os.rmdir(sys.argv[1])
nlink = os.fstat(fd).st_nlink
assert nlink == 0, f"link count {nlink} after rmdir"
os.close(fd)
PY
  unmount_and_wait
}

# rsync -a keeps every file's and directory's times and modes; a second pass finds nothing to do.
case_rsync_twice() {
  start_server
  mount_shared
  mkdir -p "$work/src/a/b" "$work/src/c"
  for i in $(seq 30); do head -c $((i * 311)) /dev/urandom >"$work/src/a/f$i"; done
  echo deep >"$work/src/a/b/deep"
  chmod 0444 "$work/src/a/f1"
  chmod 0700 "$work/src/c"
  ln -s a/b/deep "$work/src/link"
  touch -d "2003-04-05 06:07:08" "$work/src/a/b" "$work/src/a/f2"
  rsync -a "$work/src/" "$mnt/dst/" || fail "the first rsync -a"
  sleep 1.2  # past the default one-second caches, so the second pass sees what the server holds
  local changes
  changes=$(rsync -a -i "$work/src/" "$mnt/dst/") || fail "the second rsync -a"
  [ -z "$changes" ] || fail "the second rsync -a changed: $(echo "$changes" | head -n 5)"
  diff -r "$work/src" "$export_dir/dst" || fail "the export differs from the source"
  unmount_and_wait
}

"case_$case_name"
echo "ok: $case_name"
