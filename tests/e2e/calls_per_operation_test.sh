#!/usr/bin/env bash
# How many remote calls each everyday operation costs, counted from the server's debug log of
# every call it answers, on a mount with allow_other,default_permissions as users run it. A count
# above its ceiling fails, so an operation that starts costing more calls shows here. Each case
# runs against the server as it is and once more with the extensions it names withheld, where
# the results must stay the same and the old ceilings hold.
# Usage: calls_per_operation_test.sh BRINDLE SERVER CASE. Exits 77 (skipped) without FUSE mounts.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

files=40

# Forgets are housekeeping, batched a second after the kernel let go of nodes, whatever step
# then runs: they are no operation's cost.
calls() {
  grep "orvel: server call " "$work/server.log" | grep -vc forget_nodes
}

# The server logs a call as it answers it, so the last lines of a step may come after the step
# returned: counted once the log stands still, each step keeps its own.
settled_calls() {
  local count next
  count=$(calls)
  while sleep 0.1; next=$(calls); [ "$next" != "$count" ]; do count=$next; done
  echo "$count"
}

# Runs COMMAND on the mount and fails if it cost more than CEILING calls per unit (a decimal),
# beside the two the first walk to the work directory may cost (its lookup, a statfs).
expect_calls() {  # expect_calls WHAT UNITS CEILING COMMAND...
  local what=$1 units=$2 ceiling=$3
  shift 3
  local before after
  before=$(settled_calls)
  "$@" || fail "$what failed"
  after=$(settled_calls)
  echo "$what: $((after - before)) calls for $units ($(awk -v n=$((after - before)) -v u="$units" \
    'BEGIN { printf "%.2f", n / u }') each, ceiling $ceiling):" \
    "$(tail -n +$((before + 1)) "$work/server.log" | sed -n 's/.*orvel: server call //p' | sort | uniq -c | xargs)"
  awk -v n=$((after - before)) -v u="$units" -v c="$ceiling" 'BEGIN { exit !(n <= c * u + 2) }' ||
    fail "$what cost more than $ceiling calls each"
}

make_files() {
  local i
  for i in $(seq "$files"); do : >"$mnt/d/f$i" || return 1; done
}
stat_files() {
  local i
  for i in $(seq "$files"); do stat "$mnt/d/f$i" >/dev/null || return 1; done
}
# Each write drops the file's attributes in the kernel, so the stat after it asks again.
write_and_stat() {
  local i
  for i in $(seq "$files"); do
    printf 'abc' >&3 && stat -c %s "$mnt/d/f1" >/dev/null || return 1
  done
}
remove_files() {
  local i
  for i in $(seq "$files"); do rm "$mnt/d/f$i" || return 1; done
}
make_tree() {
  local i j
  for i in $(seq 8); do
    mkdir "$mnt/t/d$i" || return 1
    for j in $(seq 5); do echo "$i $j" >"$mnt/t/d$i/f$j" || return 1; done
  done
}

# Each run mounts afresh, so every name starts uncached. The stat of a new name runs on a second
# mount, where the names the creates made are not yet known to the kernel.
run_counts() {  # run_counts CREATE UNLINK STAT RM_RF FIND WRITE_STAT [brindle-server options...]
  local create=$1 unlink=$2 stat_new=$3 rm_rf=$4 find_dir=$5 write_stat=$6
  shift 6
  rm -rf "${export_dir:?}"/*
  mkdir "$export_dir/d" "$export_dir/t"
  start_server -d "$@"
  mount_foreground -o allow_other,default_permissions
  expect_calls "create" "$files" "$create" make_files
  # Its close comes in no count: the unmount waits for it.
  exec 3>>"$mnt/d/f1"
  expect_calls "write and stat" "$files" "$write_stat" write_and_stat
  exec 3>&-
  unmount_and_wait
  mount_foreground -o allow_other,default_permissions
  expect_calls "stat of a new name" "$files" "$stat_new" stat_files
  expect_calls "unlink" "$files" "$unlink" remove_files
  make_tree || fail "making the tree"
  unmount_and_wait
  mount_foreground -o allow_other,default_permissions
  expect_calls "find per directory" 9 "$find_dir" find "$mnt/t" -type f -printf ''
  unmount_and_wait
  mount_foreground -o allow_other,default_permissions
  expect_calls "rm -rf per file" $((8 * 5)) "$rm_rf" rm -rf "$mnt/t"
  [ ! -e "$export_dir/t" ] || fail "rm -rf left the tree behind"
  [ -z "$(ls -A "$export_dir/d")" ] || fail "unlink left names behind"
  unmount_and_wait
  stop_server
}

# Where listing_in_open is advertised a directory's open brings its listing and, for one that fits
# in a batch, closes it too: find costs one call per directory, rm -rf about two per file (a
# directory read again after its files went opens it once more: four calls more).
case_everyday_operations() {
  run_counts 3 1 1 2.25 1.5 1
  echo "without listing_in_open:"
  run_counts 3 1 1 3 3.5 1 --without-extension listing_in_open
  echo "without post_op_records:"
  run_counts 4 2 1 3.5 1.5 2 --without-extension post_op_records
  echo "without open_directory_record:"
  run_counts 4 2 1 3 2.5 2 --without-extension open_directory_record
  echo "without create_opens and open_directory_record:"
  run_counts 5 2 1 3 2.5 2 --without-extension create_opens --without-extension open_directory_record
}

# The server's file-system calls per create and per stat of a new name, counted by strace on a
# real mount: a path walked again, a record statted twice or an open that finds the new file anew
# shows here. In the export's root the root's own descriptor serves; in a directory below it, that
# directory is found from the root once per request. A create sets the mode again only where the
# server's umask narrowed it, and the watch looks up what an event names once. Half a call each is allowed beside the
# ceiling for what a thread does once: a worker's first call sets up its malloc arena, which opens
# and closes a file of /sys, and a loaded machine hands calls to workers more often.
fs_calls() {  # fs_calls WHAT UNITS CEILING COMMAND...
  local what=$1 units=$2 ceiling=$3
  shift 3
  local out=$work/strace.out
  strace -f -c -o "$out" -p "$server_pid" 2>/dev/null &
  local tracer=$!
  sleep 1
  "$@" || fail "$what failed"
  sleep 0.5
  kill -INT "$tracer"
  wait "$tracer"
  local counted
  counted=$(awk '$NF ~ /^(statx|newfstatat|fstat|openat|openat2|open|close|fcntl|fchmod|chmod)$/ { n += $4 }
    END { print n + 0 }' "$out")
  echo "$what: $counted file-system calls for $units, ceiling $ceiling each:" \
    "$(awk '$NF ~ /^[a-z_0-9]+$/ && $NF != "total" && $4 ~ /^[0-9]+$/ { printf "%s %s ", $NF, $4 }' "$out")"
  awk -v n="$counted" -v u="$units" -v c="$ceiling" 'BEGIN { exit !(n <= (c + 0.5) * u) }' ||
    fail "$what cost the server more than $ceiling file-system calls each"
}

make_root_files() {
  local i
  for i in $(seq "$files"); do : >"$mnt/r$i" || return 1; done
}
stat_root_files() {
  local i
  for i in $(seq "$files"); do stat "$mnt/r$i" >/dev/null || return 1; done
}

case_server_system_calls() {
  command -v strace >/dev/null || { echo "skipped: no strace"; exit 77; }
  mkdir "$export_dir/d"
  # The requests' own calls first; the watch of the export, a thread of its own that looks at what
  # each event names, is counted apart.
  start_server --no-watch
  mount_foreground
  ls "$mnt/d" >/dev/null
  fs_calls "create in the root" "$files" 5 make_root_files
  fs_calls "create in a directory" "$files" 13 make_files
  unmount_and_wait
  mount_foreground
  fs_calls "stat of a new name in the root" "$files" 1 stat_root_files
  unmount_and_wait
  stop_server
  rm -f "$export_dir"/r*
  start_server
  mount_foreground
  fs_calls "create in the root, the export watched" "$files" 6 make_root_files
  unmount_and_wait
  stop_server
}

# How often the server's threads went to sleep, from the kernel's count of their voluntary switches.
server_sleeps() {
  cat /proc/"$server_pid"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { n += $2 } END { print n + 0 }'
}

# A create's three calls wake the server twice: the mount sends each close with the next lookup,
# and the watch of the export reads the events of many creates at once. More shows a thread woken
# for nothing: one asleep reading the next request, woken each time the client reads a reply, a
# worker woken for a close, or the watch woken for every event.
case_server_wakeups() {
  local creates=300 ceiling=2.6 i before after
  start_server
  mount_foreground
  mkdir "$mnt/w"
  for i in $(seq 20); do : >"$mnt/w/warm$i"; done
  before=$(server_sleeps)
  for i in $(seq "$creates"); do : >"$mnt/w/f$i" || fail "create $i failed"; done
  after=$(server_sleeps)
  echo "the server slept $((after - before)) times for $creates creates, ceiling $ceiling each"
  awk -v n=$((after - before)) -v u="$creates" -v c="$ceiling" 'BEGIN { exit !(n <= c * u) }' ||
    fail "a create woke the server more than $ceiling times"
  unmount_and_wait
  stop_server
}

"case_$case_name"
