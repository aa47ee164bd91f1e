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
  echo "a longer content" >"$export_dir/f"
  local seen
  seen=$(cat "$mnt/f")
  [ "$seen" = "a longer content" ] || fail "a change of size showed '$seen' at the next open"
  unmount_and_wait
}

case_${case_name}
