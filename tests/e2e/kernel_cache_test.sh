#!/usr/bin/env bash
# What the kernel caches in front of a mount, and when a change made behind the mount or by a
# second client shows through it. Counts the requests that reach the host from libfuse's trace of
# every kernel request (the mount's -d debug log). Usage: kernel_cache_test.sh BRINDLE SERVER CASE
# Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

# How many requests of the kind (READ, LOOKUP, READDIRPLUS, ...) the kernel sent so far.
requests() {  # requests OPCODE
  grep -c "opcode: $1 (" "$work/brindle.log"
}

# A file read twice with no change between the reads comes from the page cache the second time.
case_reread_from_page_cache() {
  start_server
  head -c $((1024 * 1024)) /dev/urandom >"$export_dir/f"
  local options before first second
  for options in attr_timeout=1 writeback_cache; do
    mount_foreground -d -o "$options"
    before=$(requests READ)
    cmp "$export_dir/f" "$mnt/f" || fail "first read with $options"
    first=$(($(requests READ) - before))
    [ "$first" -gt 0 ] || fail "the first read of f sent no READ with $options"
    cmp "$export_dir/f" "$mnt/f" || fail "second read with $options"
    second=$(($(requests READ) - before - first))
    [ "$second" = 0 ] || fail "the second read of unchanged f sent $second READs with $options"
    unmount_and_wait
  done
  mount_foreground -d -o reread_on_open
  cmp "$export_dir/f" "$mnt/f" || fail "first read with reread_on_open"
  before=$(requests READ)
  cmp "$export_dir/f" "$mnt/f" || fail "second read with reread_on_open"
  [ "$(requests READ)" -gt "$before" ] || fail "reread_on_open served the second open from the cache"
  unmount_and_wait
}

# Changes made on the export between two opens show at the second open, whatever the timeouts.
case_changed_behind_shows_at_open() {
  start_server
  echo aaaa >"$export_dir/f"
  touch -d "2001-01-01" "$export_dir/f"
  mount_foreground -o attr_timeout=60,entry_timeout=60
  [ "$(cat "$mnt/f")" = aaaa ] || fail "first read"
  echo bbbb >"$export_dir/f"
  [ "$(cat "$mnt/f")" = bbbb ] || fail "a same-size change with a new time did not show at the next open"
  # Another change within the same second, restoring nothing: the time's nanoseconds differ.
  echo cccc >"$export_dir/f"
  [ "$(cat "$mnt/f")" = cccc ] || fail "a second same-size change did not show at the next open"
  # Held open across the change, the file shows it at the next open, not through the old one.
  exec 3<"$mnt/f"
  echo dddd >"$export_dir/f"
  exec 3<&-
  [ "$(cat "$mnt/f")" = dddd ] || fail "a change while the file was open did not show at the next open"
  # A same-size change whose writer sets the modification time back still moves the change time.
  touch -r "$export_dir/f" "$work/time-of-d"
  echo eeee >"$export_dir/f"
  touch -r "$work/time-of-d" "$export_dir/f"
  [ "$(cat "$mnt/f")" = eeee ] || fail "a same-size change with its modification time set back did not show at the next open"
  echo "a longer content" >"$export_dir/f"
  local seen
  seen=$(cat "$mnt/f")
  [ "$seen" = "a longer content" ] || fail "a change of size showed '$seen' at the next open"
  unmount_and_wait
}

# A name that is missing is remembered for the negative timeout (the entry timeout unless set):
# a name made behind the mount shows after it, and one made through the mount at once.
# Unwatched, so that nothing but the timeout ends a remembered miss of a name made on the export.
case_missing_name_remembered() {
  start_server --no-watch
  mount_foreground -d -o entry_timeout=2
  local before
  ! stat "$mnt/later" 2>/dev/null || fail "later exists before it was made"
  before=$(requests LOOKUP)
  ! stat "$mnt/later" 2>/dev/null || fail "later exists before it was made"
  [ "$(requests LOOKUP)" = "$before" ] || fail "a second look at a missing name asked the server again"
  echo made >"$export_dir/later"
  ! stat "$mnt/later" 2>/dev/null || fail "the miss was not remembered for the entry timeout"
  sleep 2.2
  [ "$(cat "$mnt/later" 2>/dev/null)" = made ] || fail "a name made behind the mount did not show after the timeout"
  # Through the mount, a remembered miss never hides what the mount itself makes.
  for name in created made_dir linked moved; do ! stat "$mnt/$name" 2>/dev/null || fail "$name exists"; done
  echo new >"$mnt/created" || fail "create over a remembered miss"
  [ "$(cat "$mnt/created")" = new ] || fail "the created file is not seen"
  mkdir "$mnt/made_dir" || fail "mkdir over a remembered miss"
  [ -d "$mnt/made_dir" ] || fail "the made directory is not seen"
  ln -s created "$mnt/linked" || fail "symlink over a remembered miss"
  [ "$(cat "$mnt/linked")" = new ] || fail "the symbolic link is not seen"
  mv "$mnt/created" "$mnt/moved" || fail "rename onto a remembered miss"
  [ "$(cat "$mnt/moved")" = new ] || fail "the renamed file is not seen"
  ! stat "$mnt/created" 2>/dev/null || fail "the old name stayed after the rename"
  unmount_and_wait
  # negative_timeout=0 asks the server at every look.
  mount_foreground -d -o entry_timeout=2,negative_timeout=0
  ! stat "$mnt/absent" 2>/dev/null || fail "absent exists"
  echo made >"$export_dir/absent"
  [ "$(cat "$mnt/absent" 2>/dev/null)" = made ] || fail "negative_timeout=0 remembered a miss"
  unmount_and_wait
}

listing_requests() { echo $(($(requests READDIR) + $(requests READDIRPLUS))); }

# A directory listed twice with no change between is listed from the kernel's cache the second
# time; a name added behind the mount shows at the next opendir, one added through it at once.
case_listing_cached_until_changed() {
  start_server
  mkdir "$export_dir/d"
  for i in $(seq 300); do echo "$i" >"$export_dir/d/f$i"; done
  mount_foreground -d -o attr_timeout=30,entry_timeout=30
  local before
  [ "$(ls "$mnt/d" | wc -l)" = 300 ] || fail "first listing"
  before=$(listing_requests)
  [ "$(ls "$mnt/d" | wc -l)" = 300 ] || fail "second listing"
  [ "$(listing_requests)" = "$before" ] || fail "an unchanged directory was listed by the server again"
  echo new >"$export_dir/d/behind"
  ls "$mnt/d" | grep -qx behind || fail "a name added behind the mount did not show at the next opendir"
  # Within the same second and with the same number of names: only the time's nanoseconds move.
  mv "$export_dir/d/behind" "$export_dir/d/renamed"
  ls "$mnt/d" | grep -qx renamed || fail "a rename behind the mount did not show at the next opendir"
  ! ls "$mnt/d" | grep -qx behind || fail "the old name stayed after a rename behind the mount"
  echo new >"$mnt/d/through"
  ls "$mnt/d" | grep -qx through || fail "a name made through the mount did not show at once"
  rm "$mnt/d/f1"
  ! ls "$mnt/d" | grep -qx f1 || fail "a name removed through the mount still shows"
  # Held open across a change behind the mount, a directory shows it at its next opendir.
  exec 3<"$mnt/d"
  rm "$export_dir/d/f2"
  exec 3<&-
  ! ls "$mnt/d" | grep -qx f2 || fail "a name removed behind the mount while the directory was open still shows"
  unmount_and_wait
}

# readdirplus hands the kernel each name with its attributes, so `ls -l` looks up none of them,
# neither at the first listing nor once the names it cached have expired.
case_ls_l_needs_no_lookups() {
  start_server
  mkdir "$export_dir/d"
  for i in $(seq 1000); do echo "$i" >"$export_dir/d/f$i"; done
  mount_foreground -d -o attr_timeout=1,entry_timeout=1
  local before
  stat "$mnt/d" >/dev/null || fail "stat d"
  before=$(($(requests LOOKUP) + $(requests GETATTR)))
  [ "$(ls -l "$mnt/d" | grep -c '^-')" = 1000 ] || fail "ls -l did not show 1000 files"
  [ "$(($(requests LOOKUP) + $(requests GETATTR) - before))" -le 2 ] ||
    fail "ls -l of 1000 files sent $(($(requests LOOKUP) + $(requests GETATTR) - before)) lookups and getattrs"
  sleep 1.2
  before=$(($(requests LOOKUP) + $(requests GETATTR)))
  [ "$(ls -l "$mnt/d" | grep -c '^-')" = 1000 ] || fail "ls -l did not show 1000 files again"
  [ "$(($(requests LOOKUP) + $(requests GETATTR) - before))" -le 2 ] ||
    fail "ls -l after the timeouts sent $(($(requests LOOKUP) + $(requests GETATTR) - before)) lookups and getattrs"
  unmount_and_wait
}

# Two clients of one server: what one writes and closes, the other sees at its next open, also
# when the other held the old contents in its page cache.
case_two_clients() {
  start_server
  echo aaaa >"$export_dir/f"
  mkdir "$export_dir/d"
  mount_foreground -o attr_timeout=30,entry_timeout=30
  mount_second -o attr_timeout=30,entry_timeout=30
  [ "$(cat "$second_mnt/f")" = aaaa ] || fail "second client, first read"
  [ "$(cat "$second_mnt/f")" = aaaa ] || fail "second client, read from its cache"
  echo bbbb >"$mnt/f" || fail "first client, write"
  [ "$(cat "$second_mnt/f")" = bbbb ] || fail "the second client did not see the first's same-size write at its next open"
  echo more >>"$mnt/f" || fail "first client, append"
  [ "$(cat "$second_mnt/f")" = "bbbb
more" ] || fail "the second client did not see the first's append at its next open"
  [ "$(cat "$mnt/f")" = "bbbb
more" ] || fail "the first client lost its own append"
  ls "$second_mnt/d" >/dev/null
  echo new >"$mnt/d/made"
  ls "$second_mnt/d" | grep -qx made || fail "the second client's next listing missed a name the first made"
  unmount_and_wait
}

# A reader that held the file open across another client's longer write takes the new size along
# with the new pages at its next open, not the new pages cut to the old size.
case_second_reader_sees_longer_contents() {
  start_server
  mount_foreground
  mount_second
  local try seen
  for try in 1 2 3 4 5; do
    printf 'old\n' >"$mnt/c" || fail "first client, write"
    exec 7<"$second_mnt/c"
    printf 'new longer\n' >"$mnt/c" || fail "first client, longer write"
    exec 7<&-
    seen=$(cat "$second_mnt/c")
    [ "$seen" = "new longer" ] || fail "try $try: the second client read '$seen'"
  done
  unmount_and_wait
}

# Appends from two mounts at once: with atomic appends the server puts each at the end of file,
# so none overwrites another; a server without them runs the same steps, each mount picking the
# end it knows.
case_appends_from_two_clients() {
  local server_options=() way lines
  for way in atomic positional; do
    [ "$way" = positional ] && server_options=(--without-extension append)
    start_server "${server_options[@]}"
    : >"$export_dir/log"
    mount_foreground
    mount_second
    (for _ in $(seq 1000); do echo A >>"$mnt/log"; done) &
    local first_writer=$!
    (for _ in $(seq 1000); do echo B >>"$second_mnt/log"; done) || fail "second client, appends ($way)"
    wait "$first_writer" || fail "first client, appends ($way)"
    lines=$(wc -l <"$export_dir/log")
    if [ "$way" = atomic ]; then
      [ "$lines" = 2000 ] || fail "2,000 appends from two mounts left $lines lines"
      [ "$(grep -cx A "$export_dir/log")" = 1000 ] || fail "the first mount's appends are not all whole lines"
      [ "$(wc -l <"$mnt/log")" = 2000 ] || fail "the first mount does not show all 2,000 lines"
    fi
    unmount_second_and_wait
    unmount_and_wait
    stop_server
  done
}

# A session without extended attributes: the kernel learns it once and stops asking, since it
# asks before every write whether the file carries capabilities.
case_xattrs_off_asked_once() {
  start_server
  mount_foreground -d
  local i
  for i in 1 2 3 4; do echo "line $i" >>"$mnt/f" || fail "append $i"; done
  expect_errno EOPNOTSUPP "os.getxattr('$mnt/f', 'user.x')"
  expect_errno EOPNOTSUPP "os.setxattr('$mnt/f', 'user.x', b'v')"
  expect_errno EOPNOTSUPP "os.listxattr('$mnt/f')"
  expect_errno EOPNOTSUPP "os.removexattr('$mnt/f', 'user.x')"
  local asked
  asked=$(requests GETXATTR)
  [ "$asked" -le 1 ] || fail "the kernel asked $asked times for extended attributes the session has none of"
  unmount_and_wait
}

case_${case_name}
