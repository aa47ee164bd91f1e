#!/usr/bin/env bash
# A mount with -o reconnect across restarts of its brindle-server, as the programs in the mount see
# it. Usage: reconnect_test.sh BRINDLE BRINDLE_SERVER CASE
# Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

background_pids=()
# Starts a command in the background in a process group of its own, so that stopping it stops what
# it runs too.
in_background() {
  set -m
  "$@" &
  background_pids+=($!)
  set +m
}
# The programs in the mount and the held descriptors are gone before the unmount.
cleanup_case() {
  { exec 8>&- 9>&- 5<&-; } 2>/dev/null
  [ "${#background_pids[@]}" -gt 0 ] || return 0
  local pid
  for pid in "${background_pids[@]}"; do kill -KILL -- "-$pid" 2>/dev/null; done
  wait "${background_pids[@]}" 2>/dev/null
  # wait reaps only the group leaders; a killed program still waiting for the mount's answer keeps
  # its directory open until the answer comes, and the unmount would find the mount busy.
  for pid in "${background_pids[@]}"; do
    for _ in $(seq 100); do pgrep -g "$pid" >/dev/null || break; sleep 0.05; done
  done
  background_pids=()
}

# A server started while the test holds descriptors on the mount would hold them too.
restart_server() {
  start_server 5<&- 8>&- 9>&-
}

kill_server() {
  kill -KILL "$server_pid"
  wait "$server_pid" 2>/dev/null
  server_pid=
}

# Waits up to SECONDS for a command to succeed.
eventually() {  # eventually SECONDS command...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Appended to by the reader: "ok" or "failed" for every cat, after a line with the time of a restart.
reader_recovered() {
  [ "$(sed -n '/^restarted$/,$p' "$work/reader.log" | grep -c '^ok$')" -ge 3 ]
}

# The server is killed while a reader cats files and a shell sits in a subdirectory; restarted on
# the same export and session file, everything goes on under the same inode numbers, and the file
# that was open for writing reports the break.
case_restart() {
  mkdir -p "$export_dir/sub"
  for i in 1 2 3; do echo "content $i" >"$export_dir/f$i"; done
  echo inner >"$export_dir/sub/inner"
  start_server
  mount_foreground -o reconnect
  local inodes_before
  inodes_before=$(stat -c '%n %i' "$mnt/f1" "$mnt/f2" "$mnt/sub" "$mnt/sub/inner")

  in_background bash -c 'while :; do
    for i in 1 2 3; do
      if [ "$(cat "$0/f$i" 2>/dev/null)" = "content $i" ]; then echo ok; else echo failed; fi
    done
    sleep 0.05
  done >>"$1"' "$mnt" "$work/reader.log"
  mkfifo "$work/shell.in"
  in_background bash -c 'cd "$0" && exec bash <"$1" >"$2" 2>&1' "$mnt/sub" "$work/shell.in" "$work/shell.out"
  exec 8>"$work/shell.in"
  exec 9>>"$mnt/f3"
  echo "written before" >&9 || fail "writing before the restart"
  eventually 5 grep -q '^ok$' "$work/reader.log" || fail "the reader does not read before the restart"
  # A session file replaced while the connection works changes nothing.
  cp "$work/session.json" "$work/session.saved"
  echo '{"session_id":"other","socket_path":"/nonexistent.sock","auth_token":"t"}' >"$work/session.json"
  sleep 0.3
  [ "$(cat "$mnt/f1")" = "content 1" ] || fail "the mount stopped working when its session file was replaced"
  grep -q "orvel: connection to the server lost" "$work/brindle.log" && fail "a replaced session file started a reconnect"
  mv "$work/session.saved" "$work/session.json"

  kill_server
  sleep 0.5
  restart_server
  echo restarted >>"$work/reader.log"
  local restarted=$SECONDS
  eventually 10 reader_recovered || fail "the reader's cat does not work again within 10 s"
  [ $((SECONDS - restarted)) -le 10 ] || fail "the reader took $((SECONDS - restarted)) s to recover"

  echo '/bin/pwd; cat inner; stat -c %i .; echo done' >&8
  eventually 10 grep -q '^done$' "$work/shell.out" || fail "the shell in the mount does not answer"
  [ "$(sed -n 1p "$work/shell.out")" = "$mnt/sub" ] || fail "pwd in the shell: $(cat "$work/shell.out")"
  [ "$(sed -n 2p "$work/shell.out")" = inner ] || fail "a relative path in the shell: $(cat "$work/shell.out")"
  [ "$(sed -n 3p "$work/shell.out")" = "$(stat -c %i "$mnt/sub")" ] || fail "the shell's directory changed inode"

  [ "$(stat -c '%n %i' "$mnt/f1" "$mnt/f2" "$mnt/sub" "$mnt/sub/inner")" = "$inodes_before" ] ||
    fail "inode numbers changed across the restart"

  python3 -c '
import errno, os, sys
try:
    os.ftruncate(9, 0)
except OSError as e:
    sys.exit(0 if e.errno == errno.EIO else 1)
sys.exit(2)' || fail "ftruncate through the open that outlived the server did not fail with EIO"
  [ -s "$export_dir/f3" ] || fail "ftruncate through the open that outlived the server emptied the file"
  local written
  written=$( { echo "written after" >&9; } 2>&1) && fail "a write through the open that outlived the server succeeded"
  [[ "$written" == *"Input/output error"* ]] || fail "the broken open reported: $written"
  exec 9>&- || fail "closing the broken open failed"
  echo again >>"$mnt/f3" || fail "a new open for writing after the restart"
  grep -q "fails with EIO: it was open for writing" "$work/brindle.log" || fail "the failed open is not logged"
  grep -q "orvel: reconnected to the session" "$work/brindle.log" || fail "the reconnect is not logged"
  cleanup_case
  unmount_and_wait
}

# A server that stays away longer than the request bound: calls fail with EIO after the bound, and
# the mount recovers once it is back, without a remount.
case_long_outage() {
  echo before >"$export_dir/f"
  start_server
  mount_foreground -o reconnect,timeout=3
  [ "$(cat "$mnt/f")" = before ] || fail "reading before the outage"
  kill_server
  local killed=$SECONDS
  sleep 1.5
  local began=$SECONDS
  expect_errno EIO "os.stat('$mnt/f')"
  local waited=$((SECONDS - began))
  [ "$waited" -ge 2 ] && [ "$waited" -le 6 ] || fail "a call during the outage failed after ${waited} s"
  expect_errno EIO "os.listdir('$mnt')"
  expect_errno EIO "os.statvfs('$mnt')"
  sleep $((40 - (SECONDS - killed)))
  restart_server
  eventually 10 grep -qx before "$mnt/f" 2>/dev/null || fail "the mount does not recover after the outage"
  echo after >"$mnt/f" || fail "writing after the outage"
  [ "$(cat "$export_dir/f")" = after ] || fail "the write after the outage did not reach the export"
  # A 40 s outage says once why the mount waits; the attempts and their steps are debug detail.
  local outage_log waits
  outage_log=$(sed -n '/connection to the server lost/,/reconnected to the session/p' "$work/brindle.log")
  waits=$(grep -c 'orvel: reconnect to the session .* waits: ' <<<"$outage_log")
  [ "$waits" -ge 1 ] && [ "$waits" -le 2 ] || fail "the log has $waits lines saying why a 40 s outage waits"
  grep -q 'probeResource\|loadResource url\|unloadResource\|session init\|handshake failed' <<<"$outage_log" &&
    fail "the steps of failed attempts are logged at the default level"
  unmount_and_wait
}

# The server comes back on another export, where a file's name now leads to a directory: the inode
# the kernel holds for the file is stale, and the name leads to the directory.
case_changed_type() {
  echo "a file" >"$export_dir/victim"
  mkdir -p "$export_dir/kept"
  echo same >"$export_dir/kept/file"
  start_server
  mount_foreground -o reconnect
  exec 5<"$mnt/victim"
  local kept_inode
  kept_inode=$(stat -c %i "$mnt/kept")
  kill_server
  export_dir=$work/export2
  mkdir -p "$export_dir/victim" "$export_dir/kept"
  echo same >"$export_dir/kept/file"
  restart_server
  # Past the kernel's attribute cache, so the next fstat asks the mount.
  sleep 1.5
  eventually 10 [ -f "$mnt/kept/file" ] || fail "the mount does not come back on the new export"
  expect_errno ESTALE "os.fstat(5)"
  [ -d "$mnt/victim" ] || fail "the name does not lead to the new directory"
  [ "$(stat -c %i "$mnt/kept")" = "$kept_inode" ] || fail "the directory that stayed changed inode"
  exec 5<&-
  unmount_and_wait
}

# Inode numbers stay across a restart also for what the kernel had forgotten by then, while the new
# server hands out its node ids in another order; names first seen after the restart take numbers
# of their own.
case_inodes_forgotten() {
  mkdir -p "$export_dir/d"
  for i in 1 2 3 4 5; do echo "f$i" >"$export_dir/f$i"; echo "g$i" >"$export_dir/d/g$i"; done
  for i in 1 2 3; do echo "n$i" >"$export_dir/n$i"; done
  start_server
  mount_foreground -o reconnect
  local seen=(f1 f2 f3 f4 f5 d d/g1 d/g2 d/g3 d/g4 d/g5)
  local before
  before=$(cd "$mnt" && stat -c '%n %i' "${seen[@]}")
  echo 2 >/proc/sys/vm/drop_caches
  kill_server
  restart_server
  eventually 10 grep -q "orvel: reconnected to the session" "$work/brindle.log" || fail "no reconnect"
  # Looked up in the new server's order: the names it has not seen come first.
  local fresh
  fresh=$(cd "$mnt" && stat -c '%i' n3 n2 n1 d/g5 d/g4) || fail "stat after the restart"
  local after
  after=$(cd "$mnt" && stat -c '%n %i' "${seen[@]}")
  [ "$after" = "$before" ] || fail "inode numbers changed across the restart: $(diff <(echo "$before") <(echo "$after") | tr '\n' ' ')"
  local new_numbers
  new_numbers=$(cd "$mnt" && stat -c '%i' n1 n2 n3)
  [ "$(sort -u <<<"$new_numbers" | wc -l)" = 3 ] || fail "names new after the restart share a number: $new_numbers"
  local number
  for number in $new_numbers; do
    grep -qw "$number" <<<"$before" && fail "a name new after the restart took the number $number of another file"
  done
  [ "$(cd "$mnt" && stat -c '%i' n3 n2 n1 d/g5 d/g4)" = "$fresh" ] || fail "numbers moved within one connection"
  unmount_and_wait
}

# The session file that a restarted server leaves is open to others, then another user's: the mount
# refuses each, says once why it waits, and comes back once the file is private again.
case_session_file_loosened_while_away() {
  echo before >"$export_dir/f"
  start_server
  mount_foreground -o reconnect
  [ "$(cat "$mnt/f")" = before ] || fail "reading before the restart"
  kill_server
  eventually 5 grep -q "orvel: reconnect to the session .* waits: " "$work/brindle.log" || fail "no wait logged while away"
  # The new server writes elsewhere; its file reaches the mount's path only once loosened.
  set -m
  "$server_bin" --export "$export_dir" --session-file "$work/next.json" -f 2>"$work/server.log" 5<&- 8>&- 9>&- &
  server_pid=$!
  set +m
  eventually 5 [ -s "$work/next.json" ] || fail "the new server did not start"
  install -m 0644 "$work/next.json" "$work/loose.json"
  mv "$work/loose.json" "$work/session.json"
  eventually 10 grep -q "waits: .*mode 0644.*session.json" "$work/brindle.log" ||
    fail "no attempt names the open session file"
  chmod 0600 "$work/session.json"
  chown nobody "$work/session.json"
  eventually 10 grep -q "waits: .*belongs to nobody" "$work/brindle.log" ||
    fail "no attempt names the session file of another owner"
  grep -q "orvel: reconnected" "$work/brindle.log" && fail "the mount reconnected through an untrusted session file"
  # From the mount table: a stat of the mount point would wait for the server.
  awk -v m="$mnt" '$2 == m { found = 1 } END { exit !found }' /proc/mounts && kill -0 "$brindle_pid" ||
    fail "the mount did not wait"
  # One line a reason, however many attempts it refused.
  [ "$(grep -c "mode 0644" "$work/brindle.log")" = 1 ] || fail "the open session file is not told in one line"
  [ "$(grep -c "belongs to nobody" "$work/brindle.log")" = 1 ] || fail "the other owner is not told in one line"
  chown root "$work/session.json"
  eventually 10 grep -q "orvel: reconnected" "$work/brindle.log" || fail "no reconnect once the file is private"
  eventually 5 grep -qx before "$mnt/f" || fail "the mount does not work after the reconnect"
  unmount_and_wait
}

# With the server down, `a` is renamed to `a.old` and a new `a` made on the export: a descriptor
# opened on the old `a` then reads its own bytes or fails with ESTALE, never the new file's, and
# the name leads to the new file.
case_swapped_while_away() {
  echo "the original bytes" >"$export_dir/a"
  start_server
  mount_foreground -o reconnect
  # Nothing read yet: the kernel holds no page of it, so a read asks the mount.
  exec 5<"$mnt/a"
  kill_server
  mv "$export_dir/a" "$export_dir/a.old"
  echo "the new file's bytes" >"$export_dir/a"
  restart_server
  sleep 1.5
  eventually 10 [ -f "$mnt/a.old" ] || fail "the mount does not come back"
  local read_back
  read_back=$(python3 -c '
import errno, os
try:
    print(os.pread(5, 100, 0).decode(), end="")
except OSError as e:
    print(errno.errorcode.get(e.errno, e.errno), end="")')
  [ "$read_back" = ESTALE ] || [ "$read_back" = "the original bytes" ] ||
    fail "the descriptor on the old a read: $read_back"
  [ "$(cat "$mnt/a")" = "the new file's bytes" ] || fail "the name a does not lead to the new file"
  exec 5<&-
  unmount_and_wait
}

# The mount ends while the server is away and a call waits for it: neither holds up the end, and
# the waiting call fails.
case_stop_while_away() {
  echo before >"$export_dir/f"
  start_server
  mount_foreground -o reconnect,timeout=60
  kill_server
  sleep 0.5
  (cat "$mnt/f" >/dev/null 2>"$work/cat.err"; echo $? >"$work/cat.status") &
  background_pids+=($!)
  sleep 1
  local began=$SECONDS
  kill -TERM "$brindle_pid"
  wait "$brindle_pid"
  local status=$?
  brindle_pid=
  [ "$status" = 0 ] || fail "brindle exited $status on SIGTERM while reconnecting"
  [ $((SECONDS - began)) -le 3 ] || fail "ending the mount took $((SECONDS - began)) s while reconnecting"
  mountpoint -q "$mnt" && fail "the mount is still there"
  eventually 3 [ -s "$work/cat.status" ] || fail "the waiting call did not end with the mount"
  [ "$(cat "$work/cat.status")" != 0 ] || fail "the waiting call succeeded without a server"
  background_pids=()
}

# Three restarts in a row under a recursive listing: the mount survives every one.
case_three_restarts() {
  for d in $(seq 10); do
    mkdir -p "$export_dir/d$d/inner"
    for f in $(seq 10); do echo "$d $f" >"$export_dir/d$d/inner/f$f"; done
  done
  start_server
  mount_foreground -o reconnect
  local expected
  expected=$(cd "$export_dir" && find . | sort)
  in_background bash -c 'while :; do ls -lR "$0" >/dev/null 2>&1; done' "$mnt"
  for round in 1 2 3; do
    sleep 1
    kill_server
    restart_server
    eventually 15 grep -qx "3 7" "$mnt/d3/inner/f7" 2>/dev/null || fail "no recovery after restart $round"
  done
  [ "$(grep -c "orvel: reconnected to the session" "$work/brindle.log")" = 3 ] || fail "not three reconnects"
  [ "$(cd "$mnt" && find . | sort)" = "$expected" ] || fail "the tree differs after the restarts"
  mountpoint -q "$mnt" || fail "the mount went away"
  cleanup_case
  unmount_and_wait
}

# Without -o reconnect a server's restart ends the mount's use as before: calls fail fast, also once
# the server is back, and the mount can still be unmounted.
case_without_reconnect() {
  echo before >"$export_dir/f"
  start_server
  mount_foreground
  [ "$(cat "$mnt/f")" = before ] || fail "reading before the restart"
  kill_server
  restart_server
  sleep 1.5
  local began=$SECONDS
  expect_errno ECONNRESET "open('$mnt/f').read()"
  [ $((SECONDS - began)) -lt 3 ] || fail "the call did not fail fast"
  grep -q "orvel: reconnected\|reconnecting to the session" "$work/brindle.log" && fail "a mount without -o reconnect reconnected"
  unmount_and_wait
}

"case_$case_name"
echo "ok: $case_name"
