# Sourced by every e2e script that mounts a brindle-server export. Expects $brindle and
# $server_bin. Gives a work directory on a fresh tmpfs (so the export and any reference directory
# beside it live on the same kind of file system), an export and a mount point inside it, and
# helpers to start the server or an SDK's example, mount, unmount and expect an errno. Everything
# started here is stopped on exit.
# Exits 77 (skipped) where these mounts are impossible: the tests need root, because they mount
# tmpfs, run with allow_other and switch to other users.

if [ ! -c /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  echo "skipped: /dev/fuse or fusermount3 is missing, no FUSE mounts here"
  exit 77
fi
if [ "$(id -u)" != 0 ]; then
  echo "skipped: these tests mount tmpfs and switch users, which needs root"
  exit 77
fi

work=$(mktemp -d /tmp/brindle-e2e.XXXXXX)
mount -t tmpfs -o size=4g,mode=0755 brindle-e2e "$work" || { rmdir "$work"; echo "cannot mount tmpfs"; exit 1; }
export_dir=$work/export
mnt=$work/mnt
second_mnt=$work/second
mkdir -p "$export_dir" "$mnt" "$second_mnt"
chmod 0755 "$export_dir" "$mnt" "$second_mnt"
server_pid=
brindle_pid=
second_pid=

fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/brindle.log" ] && tail -n 20 "$work/brindle.log" >&2
  exit 1
}

cleanup() {
  # A script that starts more of its own says how to stop it in cleanup_case.
  if declare -F cleanup_case >/dev/null; then cleanup_case; fi
  local mount_point
  for mount_point in "$mnt" "$second_mnt"; do
    if mountpoint -q "$mount_point"; then fusermount3 -u "$mount_point" 2>/dev/null || umount -l "$mount_point" 2>/dev/null; fi
  done
  [ -n "$brindle_pid" ] && kill "$brindle_pid" 2>/dev/null && wait "$brindle_pid" 2>/dev/null
  [ -n "$second_pid" ] && kill "$second_pid" 2>/dev/null && wait "$second_pid" 2>/dev/null
  if [ -n "$server_pid" ]; then
    kill -CONT "$server_pid" 2>/dev/null
    kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  fi
  cd /
  umount -l "$work" 2>/dev/null
  rmdir "$work" 2>/dev/null
}
trap cleanup EXIT

start_server() {  # start_server [brindle-server options...]
  rm -f "$work/session.json"
  # Its own process group, so that stopping it never stops this shell's group.
  set -m
  "$server_bin" --export "$export_dir" --session-file "$work/session.json" -f "$@" 2>"$work/server.log" &
  server_pid=$!
  set +m
  for _ in $(seq 200); do
    [ -s "$work/session.json" ] && return 0
    sleep 0.02
  done
  cat "$work/server.log" >&2
  fail "brindle-server did not start"
}

stop_server() {
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=
}

# Runs brindle in the foreground, in the background, at MOUNT_POINT and waits for the mount; the
# pid goes into the variable PID_VARIABLE at once, so that cleanup stops it whatever follows.
start_mount() {  # start_mount PID_VARIABLE MOUNT_POINT LOG WHAT [brindle options...]
  local pid_variable=$1 mount_point=$2 log=$3 what=$4
  shift 4
  "$brindle" "$work/session.json" "$mount_point" -f "$@" 2>"$log" &
  printf -v "$pid_variable" '%s' $!
  for _ in $(seq 300); do
    mountpoint -q "$mount_point" && return 0
    kill -0 "${!pid_variable}" 2>/dev/null || fail "$what exited before mounting"
    sleep 0.02
  done
  fail "$what did not appear"
}

# Unmounts MOUNT_POINT and waits for its brindle, which must exit 0.
stop_mount() {  # stop_mount PID_VARIABLE MOUNT_POINT WHAT
  local pid_variable=$1 mount_point=$2 what=$3
  fusermount3 -u "$mount_point" || fail "fusermount3 -u of $what failed"
  wait "${!pid_variable}"
  local status=$?
  printf -v "$pid_variable" '%s' ""
  [ "$status" = 0 ] || fail "$what exited $status after unmount"
}

# The mount, at $mnt, its log in $work/brindle.log.
mount_foreground() { start_mount brindle_pid "$mnt" "$work/brindle.log" "the mount" "$@"; }
unmount_and_wait() { stop_mount brindle_pid "$mnt" "the mount"; }

# A second client of the same server, at $second_mnt, its log in $work/second.log.
mount_second() { start_mount second_pid "$second_mnt" "$work/second.log" "the second mount" "$@"; }
unmount_second_and_wait() { stop_mount second_pid "$second_mnt" "the second mount"; }

# An SDK's example server in the foreground, its own process group, with $work/session.json:
# ready once it prints that path. stop_example stops it as a user does and checks it cleaned up.
run_example() {  # run_example NAME COMMAND...
  local name=$1
  shift
  rm -f "$work/session.json" "$work/server.out"
  set -m
  "$@" --session-file "$work/session.json" >"$work/server.out" 2>"$work/server.log" &
  server_pid=$!
  set +m
  for _ in $(seq 250); do
    [ -s "$work/server.out" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.02
  done
  cat "$work/server.log" >&2
  fail "the $name example did not start"
}

stop_example() {
  kill "$server_pid"
  wait "$server_pid"
  local status=$?
  server_pid=
  [ "$status" = 0 ] || fail "the example exited $status on SIGTERM"
  [ ! -e "$work/session.json" ] || fail "the example left its session file behind"
  [ ! -e "$work/session.json.sock" ] || fail "the example left its socket behind"
}

expect_errno() {  # expect_errno ERRNO_NAME python-statement
  local wanted=$1 statement=$2
  python3 - "$wanted" "$statement" <<'PY' || fail "expected $wanted from: $statement"
import errno, os, sys
wanted, statement = sys.argv[1], sys.argv[2]
try:
    exec(statement)
except OSError as e:
    sys.exit(0 if e.errno == getattr(errno, wanted) else f"got {errno.errorcode.get(e.errno, e.errno)}")
sys.exit("no error")
PY
}
