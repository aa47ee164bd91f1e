#!/usr/bin/env bash
# Two mounts of one server, both caching entries and attributes for a minute: where the server
# tells changes, what one mount changes shows on the other within a short bound; where it is told
# not to, the other keeps what it cached. Usage: change_notices_test.sh BRINDLE SERVER CASE
# Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

second_mnt=$work/second
second_pid=
long_caches=attr_timeout=60,entry_timeout=60

cleanup_case() {
  if mountpoint -q "$second_mnt"; then fusermount3 -u "$second_mnt" 2>/dev/null || umount -l "$second_mnt" 2>/dev/null; fi
  [ -n "$second_pid" ] && kill "$second_pid" 2>/dev/null && wait "$second_pid" 2>/dev/null
}

mount_both() {
  mkdir -p "$second_mnt"
  mount_foreground -o "$long_caches"
  "$brindle" "$work/session.json" "$second_mnt" -f -o "$long_caches" 2>"$work/second.log" &
  second_pid=$!
  for _ in $(seq 300); do mountpoint -q "$second_mnt" && return 0; sleep 0.02; done
  fail "the second mount did not appear"
}

# Asks until the condition holds on the second mount, at most $bound_ms; prints how long it took.
bound_ms=2000
seen_within() {  # seen_within WHAT COMMAND...
  local what=$1
  shift
  local start now
  start=$(date +%s%N)
  for _ in $(seq 400); do
    if "$@" >/dev/null 2>&1; then
      now=$(date +%s%N)
      echo "$what: seen after $(((now - start) / 1000000)) ms"
      return 0
    fi
    now=$(date +%s%N)
    [ $(((now - start) / 1000000)) -lt "$bound_ms" ] || break
    sleep 0.01
  done
  fail "the second mount did not see $what within $bound_ms ms"
}

size_is() { [ "$(stat -c %s "$1")" = "$2" ]; }
missing() { ! stat "$1" >/dev/null 2>&1; }
listed() { ls "$1" | grep -qx "$2"; }
holds() { [ "$(cat "$1")" = "$2" ]; }

# Each change is first cached as it was on the second mount, so only a notice can show it there.
case_seen_within_bound() {
  start_server
  echo aaaa >"$export_dir/f"
  mkdir "$export_dir/d"
  mount_both
  missing "$second_mnt/d/new" || fail "d/new exists before it is made"
  ls "$second_mnt/d" >/dev/null
  echo made >"$mnt/d/new" || fail "first mount, create"
  seen_within "a create" stat "$second_mnt/d/new"
  seen_within "a create in a listing" listed "$second_mnt/d" new

  size_is "$second_mnt/f" 5 || fail "second mount, first stat"
  echo "a longer line" >"$mnt/f" || fail "first mount, write"
  seen_within "a write's new size" size_is "$second_mnt/f" 14
  holds "$second_mnt/f" "a longer line" || fail "the second mount read other contents than were written"

  stat "$second_mnt/d/new" >/dev/null
  mv "$mnt/d/new" "$mnt/d/moved" || fail "first mount, rename"
  seen_within "a rename's old name gone" missing "$second_mnt/d/new"
  seen_within "a rename's new name" stat "$second_mnt/d/moved"

  rm "$mnt/d/moved" || fail "first mount, unlink"
  seen_within "an unlink" missing "$second_mnt/d/moved"
  listed "$second_mnt/d" moved && fail "the second mount still lists the removed name"

  chmod 0600 "$mnt/f" || fail "first mount, chmod"
  seen_within "a mode change" test "$(stat -c %a "$second_mnt/f")" = 600

  # Each mount has a call held by the server; an unmount does not wait for it to come back.
  local start
  start=$(date +%s)
  unmount_and_wait
  fusermount3 -u "$second_mnt" || fail "fusermount3 -u of the second mount failed"
  wait "$second_pid" || fail "the second mount exited $? after unmount"
  second_pid=
  [ $(($(date +%s) - start)) -lt 5 ] || fail "unmounting waited for the held wait_for_changes"
}

# Told not to advertise the extension, the server is spoken to as before: the second mount shows
# the size it cached until its attribute timeout.
case_without_extension() {
  start_server --without-extension change_notices
  echo aaaa >"$export_dir/f"
  mount_both
  size_is "$second_mnt/f" 5 || fail "second mount, first stat"
  echo "a longer line" >"$mnt/f" || fail "first mount, write"
  sleep 1
  size_is "$second_mnt/f" 5 || fail "without change notices the second mount dropped its cached attributes"
}

case_${case_name}
