#!/usr/bin/env bash
# Runs brindle's command line the way users do, against a brindle-server export on a real mount:
# mount options, cancelling a mount, refusals and the log. Usage:
# command_line_test.sh BRINDLE BRINDLE_SERVER CASE. Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"
stall_pid=
other_user=brindle-e2e-other
other_user_made=
other_session=
other_server_pid=

cleanup_case() {
  [ -n "$stall_pid" ] && kill "$stall_pid" 2>/dev/null && wait "$stall_pid" 2>/dev/null
  [ -n "$other_server_pid" ] && kill "$other_server_pid" 2>/dev/null && wait "$other_server_pid" 2>/dev/null
  [ -n "$other_session" ] && rm -f "$other_session" "$other_session.sock"
  [ -n "$other_user_made" ] && userdel "$other_user" 2>/dev/null
}

# A Unix socket that accepts connections and never answers: a handshake that stalls.
start_stalled_server() {
  python3 - "$work/stall.sock" <<'PY' &
import socket, sys
listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1])
listener.listen(8)
peers = []
while True:
    peers.append(listener.accept()[0])
PY
  stall_pid=$!
  for _ in $(seq 200); do
    [ -S "$work/stall.sock" ] && break
    sleep 0.02
  done
  printf '{"session_id":"s","socket_path":"%s","auth_token":"tok-SECRET"}' "$work/stall.sock" >"$work/stall.json"
  chmod 600 "$work/stall.json"
}

# The mount's per-mount flags and its super-block options, from /proc/self/mountinfo.
mount_flags() { awk -v m="$mnt" '$5 == m { print $6 }' /proc/self/mountinfo; }
super_options() { awk -v m="$mnt" '$5 == m { print $NF }' /proc/self/mountinfo; }

has_flag() {  # has_flag LIST FLAG
  [[ ",$1," == *",$2,"* ]]
}

# Waits up to five seconds for a line of brindle.log that holds TEXT.
log_shows() {
  for _ in $(seq 250); do
    grep -qF "$1" "$work/brindle.log" && return 0
    sleep 0.02
  done
  return 1
}

# Whether a brindle process for the session file still runs.
brindle_running_for() {
  pgrep -f "^$brindle $1" >/dev/null
}

case_noexec() {
  start_server
  printf '#!/bin/sh\necho ran\n' >"$export_dir/script.sh"
  chmod 0755 "$export_dir/script.sh"
  mount_foreground -o noexec,nodev,nosuid,noatime,dirsync,max_read=65536
  local flags
  flags=$(mount_flags)
  for flag in noexec nodev nosuid noatime; do has_flag "$flags" "$flag" || fail "no $flag in mountinfo: $flags"; done
  for option in dirsync max_read=65536; do
    has_flag "$(super_options)" "$option" || fail "no $option in the super-block options: $(super_options)"
  done
  [ "$("$mnt/script.sh" 2>/dev/null)" != ran ] || fail "a script on a noexec mount ran"
  [ "$(sh "$mnt/script.sh")" = ran ] || fail "the script cannot even be read"
  unmount_and_wait

  mount_foreground -o ro,rw,noexec,exec
  flags=$(mount_flags)
  has_flag "$flags" rw || fail "ro,rw did not end read-write: $flags"
  ! has_flag "$flags" noexec || fail "noexec,exec did not end exec: $flags"
  [ "$("$mnt/script.sh")" = ran ] || fail "the script did not run on an exec mount"
  unmount_and_wait

  mount_foreground -o rw,ro
  has_flag "$(mount_flags)" ro || fail "rw,ro did not end read-only: $(mount_flags)"
  unmount_and_wait
}

case_uid_gid_umask() {
  start_server
  echo data >"$export_dir/file"
  chmod 0664 "$export_dir/file"
  mkdir "$export_dir/dir"
  mount_foreground -o uid=4321,gid=765,umask=027
  [ "$(stat -c '%u %g %a' "$mnt/file")" = "4321 765 640" ] || fail "file shows $(stat -c '%u %g %a' "$mnt/file")"
  [ "$(stat -c '%u %g %a' "$mnt/dir")" = "4321 765 750" ] || fail "dir shows $(stat -c '%u %g %a' "$mnt/dir")"
  local listed
  listed=$(ls -ln "$mnt" | awk '$NF == "file" { print $3, $4 }')
  [ "$listed" = "4321 765" ] || fail "ls -ln shows '$listed'"
  [ "$(stat -c '%u %a' "$export_dir/file")" = "0 664" ] || fail "the export itself changed"
  [ "$(cat "$mnt/file")" = data ] || fail "the file cannot be read"
  unmount_and_wait
}

# A mount that is still waiting for the server is cancelled by the signal and leaves nothing.
case_cancel_stalled_handshake() {
  start_stalled_server
  local status signal
  # Without -f: the signal reaches the waiting parent, as Ctrl-C does from a terminal.
  for signal in INT TERM; do
    "$brindle" "$work/stall.json" "$mnt" -o timeout=0 2>"$work/brindle.log" &
    brindle_pid=$!
    sleep 1
    kill -0 "$brindle_pid" 2>/dev/null || fail "brindle gave up on the stalled server by itself"
    kill -"$signal" "$brindle_pid"
    wait "$brindle_pid"
    status=$?
    brindle_pid=
    [ "$status" != 0 ] || fail "cancelled by SIG$signal, brindle still exited 0"
    grep -qx "brindle: mount on $mnt cancelled by SIG$signal" "$work/brindle.log" ||
      fail "no cancellation line for SIG$signal: $(cat "$work/brindle.log")"
    sleep 1
    ! mountpoint -q "$mnt" || fail "mounted after SIG$signal"
    ! brindle_running_for "$work/stall.json" || fail "a brindle process stayed after SIG$signal"
  done
  # In the foreground the process itself gets the signal.
  "$brindle" "$work/stall.json" "$mnt" -f -o timeout=0 2>"$work/brindle.log" &
  brindle_pid=$!
  sleep 1
  kill -TERM "$brindle_pid"
  wait "$brindle_pid"
  status=$?
  brindle_pid=
  [ "$status" != 0 ] || fail "cancelled in the foreground, brindle still exited 0"
  ! mountpoint -q "$mnt" || fail "mounted after SIGTERM in the foreground"
  ! grep -q tok-SECRET "$work/brindle.log" || fail "the token was logged"
}

# Reads a file through the mount after its contents changed behind the mount's back, with the
# same size and modification time (the change time moves, as nobody can set it): a page cache
# kept across opens whatever the server shows still holds the old bytes.
read_after_quiet_change() {  # read_after_quiet_change MOUNT-OPTIONS
  echo aaaa >"$export_dir/f"
  touch -d "2001-01-01" "$export_dir/f"
  mount_foreground -o "$1"
  [ "$(cat "$mnt/f")" = aaaa ] || fail "first read with $1"
  echo bbbb >"$export_dir/f"
  touch -d "2001-01-01" "$export_dir/f"
  cat "$mnt/f"
  unmount_and_wait
}

# Unwatched: a watched export's notices would drop the kept pages, which is not what is checked.
case_page_cache() {
  start_server --no-watch
  local fresh=attr_timeout=0,entry_timeout=0
  [ "$(read_after_quiet_change $fresh,reread_on_open)" = bbbb ] || fail "reread_on_open showed stale data"
  # By default an open keeps the pages only while size and both times are those of the previous
  # open, so a writer that restores size and modification time is still seen.
  [ "$(read_after_quiet_change $fresh)" = bbbb ] || fail "a change that kept size and modification time went unseen"
  [ "$(read_after_quiet_change $fresh,auto_cache)" = aaaa ] || fail "auto_cache did not keep the pages"
  [ "$(read_after_quiet_change $fresh,kernel_cache)" = aaaa ] || fail "kernel_cache did not keep the pages"
  # auto_cache lets go of the pages once the attributes show a change.
  echo aaaa >"$export_dir/g"
  mount_foreground -o $fresh,auto_cache
  [ "$(cat "$mnt/g")" = aaaa ] || fail "first read of g"
  echo bbbb >"$export_dir/g"
  touch -d "2002-02-02" "$export_dir/g"
  [ "$(cat "$mnt/g")" = bbbb ] || fail "auto_cache showed stale data after the file changed"
  unmount_and_wait
}

case_auto_unmount() {
  start_server
  mount_foreground -o auto_unmount
  ls "$mnt" >/dev/null || fail "ls on the mount"
  kill -9 "$brindle_pid"
  wait "$brindle_pid" 2>/dev/null
  brindle_pid=
  for _ in $(seq 250); do
    mountpoint -q "$mnt" || return 0
    sleep 0.02
  done
  fail "the mount stayed after kill -9 with auto_unmount"
}

case_mount_point_not_a_directory() {
  start_server
  echo x >"$work/plain"
  local output status
  output=$("$brindle" "$work/session.json" "$work/plain" 2>&1)
  status=$?
  [ "$status" = 1 ] || fail "exit $status for a regular file as mount point"
  [ "$output" = "brindle: mount failed: mount point $work/plain: ENOTDIR: Not a directory (20)" ] ||
    fail "message: $output"
  ! mountpoint -q "$work/plain" || fail "a regular file was mounted on"
  output=$(cd "$work" && "$brindle" session.json missing 2>&1)
  status=$?
  [ "$status" = 1 ] || fail "exit $status for a missing mount point"
  [ "$output" = "brindle: mount failed: mount point $work/missing: ENOENT: No such file or directory (2)" ] ||
    fail "message: $output"
  mount_foreground
  output=$("$brindle" "$work/session.json" "$mnt" 2>&1)
  status=$?
  [ "$status" = 1 ] || fail "exit $status for a mount point that is already mounted on"
  [ "$output" = "brindle: mount failed: mount point $mnt: already a mount point; unmount it first" ] ||
    fail "message: $output"
  [ "$(grep -c " $mnt " /proc/mounts)" = 1 ] || fail "a second mount was stacked on the first"
  unmount_and_wait
}

# What the log says about a mount's life: absolute paths, requests that ran out of time, why it
# ended; never the token.
case_log_lines() {
  start_server
  local token
  token=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["auth_token"])' "$work/session.json")
  (cd "$work" && exec "$brindle" session.json mnt -f -o timeout=1,attr_timeout=0,entry_timeout=0 2>"$work/brindle.log") &
  brindle_pid=$!
  for _ in $(seq 300); do mountpoint -q "$mnt" && break; sleep 0.02; done
  mountpoint -q "$mnt" || fail "the mount did not appear"
  log_shows "orvel: mounted $work/session.json on $mnt" || fail "no absolute mounted line"
  kill -STOP "$server_pid"
  local began=$SECONDS
  stat "$mnt/not-there" 2>/dev/null && fail "stat succeeded against a stopped server"
  [ $((SECONDS - began)) -lt 10 ] || fail "timeout=1 took $((SECONDS - began)) s"
  kill -CONT "$server_pid"
  log_shows "orvel: request failed after 1 s without an answer from the server" ||
    fail "the request that ran out of time was not logged"
  kill -TERM "$brindle_pid"
  wait "$brindle_pid"
  brindle_pid=
  log_shows "orvel: unmounted $mnt (SIGTERM received)" || fail "the unmount's cause was not logged"
  mount_foreground
  umount "$mnt" || fail "umount"
  wait "$brindle_pid"
  brindle_pid=
  log_shows "orvel: unmounted $mnt (umount or fusermount3 -u)" || fail "an unmount from outside was not logged"
  ! grep -q "$token" "$work/brindle.log" || fail "the token was logged"
}

# A session file others may read hands them the token: the mount, --probe and --check refuse it,
# naming the file and the fix, until it is private again.
case_session_file_readable_by_others() {
  start_server
  chmod 644 "$work/session.json"
  local output
  output=$(timeout 10 "$brindle" "$work/session.json" "$mnt" -f 2>&1) && fail "a mount of a 0644 session file succeeded"
  mountpoint -q "$mnt" && fail "a 0644 session file was mounted"
  [[ "$output" == *"session file $work/session.json: EACCES: "*"mode 0644"*"chmod 600 $work/session.json"* ]] ||
    fail "message: $output"
  "$brindle" --probe "$work/session.json" >/dev/null 2>&1 && fail "--probe accepted a 0644 session file"
  "$brindle" --check "$work/session.json" >/dev/null 2>&1 && fail "--check accepted a 0644 session file"
  "$brindle" --probe --skip-session-file-check "$work/session.json" >/dev/null ||
    fail "--skip-session-file-check did not skip the check"
  chmod 600 "$work/session.json"
  mount_foreground
  unmount_and_wait
}

# Another local user writes a session file in /tmp and serves it: whoever owns the file chooses
# the server, so root's mount refuses it rather than serving that user's files.
case_session_file_of_another_user() {
  if ! id -u "$other_user" >/dev/null 2>&1; then
    useradd --system --no-create-home --shell /usr/sbin/nologin "$other_user" || fail "useradd"
    other_user_made=1
  fi
  local impostor_export=$work/impostor
  mkdir -p "$impostor_export"
  echo "the other user's file" >"$impostor_export/planted"
  chown -R "$other_user:" "$impostor_export"
  other_session=$(mktemp -u /tmp/brindle-e2e-other.XXXXXX.json)
  setpriv --reuid="$other_user" --regid="$other_user" --clear-groups \
    "$server_bin" --export "$impostor_export" --session-file "$other_session" -f 2>"$work/server.log" &
  other_server_pid=$!
  for _ in $(seq 200); do
    [ -s "$other_session" ] && break
    sleep 0.02
  done
  [ -s "$other_session" ] || fail "the other user's server did not start: $(cat "$work/server.log")"
  [ "$(stat -c %U "$other_session")" = "$other_user" ] || fail "the session file is not the other user's"
  local output
  output=$(timeout 10 "$brindle" "$other_session" "$mnt" -f 2>&1) && fail "root mounted another user's session file"
  mountpoint -q "$mnt" && fail "another user's session file was mounted"
  [[ "$output" == *"session file $other_session: EPERM: it belongs to $other_user"* ]] || fail "message: $output"
  "$brindle" --check "$other_session" >/dev/null 2>&1 && fail "--check accepted another user's session file"
  "$brindle" --check --skip-session-file-check "$other_session" >/dev/null ||
    fail "the other user's server does not answer, so the refusal proves nothing"
}

"case_$case_name"
echo "ok: $case_name"
