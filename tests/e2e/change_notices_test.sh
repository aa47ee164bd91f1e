#!/usr/bin/env bash
# Two mounts of one server, both caching entries and attributes for a minute: where the server
# tells changes, what one mount changes shows on the other within a short bound; where it is told
# not to, the other keeps what it cached. Changes made on the export directly show on a mount with
# default options as soon, where the server watches its export. Usage: change_notices_test.sh BRINDLE SERVER CASE
# Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

long_caches=attr_timeout=60,entry_timeout=60

mount_both() {
  mount_foreground -o "$long_caches"
  mount_second -o "$long_caches"
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
  fail "$what was not seen within $bound_ms ms"
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

server_calls() {
  sleep 0.3
  grep "orvel: server call " "$work/server.log" | grep -v forget_nodes | grep -vc wait_for_changes
}

# Each state is cached on the mount first, as above; its default caches now last a minute.
case_export_changes_seen() {
  start_server -d
  echo aaaa >"$export_dir/f"
  mkdir "$export_dir/d"
  mount_foreground
  bound_ms=200
  missing "$mnt/d/new" || fail "d/new exists before it is made"
  ls "$mnt/d" >/dev/null
  echo made >"$export_dir/d/new"
  seen_within "a create on the export" stat "$mnt/d/new"
  seen_within "a create on the export, in a listing" listed "$mnt/d" new

  size_is "$mnt/f" 5 || fail "first stat"
  echo "a longer line" >"$export_dir/f"
  seen_within "a write on the export" size_is "$mnt/f" 14
  holds "$mnt/f" "a longer line" || fail "the mount read other contents than were written on the export"

  stat "$mnt/d/new" >/dev/null
  mv "$export_dir/d/new" "$export_dir/d/moved"
  seen_within "a rename on the export's old name gone" missing "$mnt/d/new"
  seen_within "a rename on the export's new name" stat "$mnt/d/moved"

  rm "$export_dir/d/moved"
  seen_within "an unlink on the export" missing "$mnt/d/moved"

  chmod 0600 "$export_dir/f"
  seen_within "a mode change on the export" test "$(stat -c %a "$mnt/f")" = 600

  local before
  stat "$mnt/f" "$mnt/d" >/dev/null
  before=$(server_calls)
  sleep 1.5
  stat "$mnt/f" "$mnt/d" >/dev/null
  [ "$(server_calls)" = "$before" ] || { grep "orvel: server call " "$work/server.log" | tail -5; fail "the mount asked again for attributes cached 1.5 s ago"; }
}

# Unwatched, the server does not say so, and the mount keeps its short default caches.
case_unwatched_export() {
  start_server --no-watch
  echo aaaa >"$export_dir/f"
  mount_foreground
  size_is "$mnt/f" 5 || fail "first stat"
  echo "a longer line" >"$export_dir/f"
  bound_ms=2500
  seen_within "a write on an unwatched export, once the cache expires" size_is "$mnt/f" 14
}

# A server back after a restart without its watch: the mount's caches last the short defaults again.
case_watch_gone_after_reconnect() {
  start_server
  echo aaaa >"$export_dir/f"
  mount_foreground -o reconnect
  size_is "$mnt/f" 5 || fail "first stat"
  stop_server
  start_server --no-watch
  bound_ms=4000
  seen_within "the reconnect" grep -q "orvel: reconnected" "$work/brindle.log"
  # Past the change watch's own start on the new connection, which drops every cache once.
  sleep 1.5
  size_is "$mnt/f" 5 || fail "the stat after the reconnect"
  echo "a longer line" >"$export_dir/f"
  bound_ms=2500
  seen_within "a write on an export no longer watched" size_is "$mnt/f" 14
}

case_${case_name}
