#!/usr/bin/env bash
# Locks between two mounts (A and B) of one brindle-server export, with the server keeping them
# for every client and, for comparison, with the server withholding that. Usage:
# locks_test.sh BRINDLE BRINDLE_SERVER CASE. Exits 77 (skipped) where FUSE mounts are impossible.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

holder_pid=

cleanup_case() {
  [ -n "$holder_pid" ] && kill -- -"$holder_pid" 2>/dev/null
}

mount_both() {
  mount_foreground "$@"
  mount_second "$@"
}

# Holds an exclusive flock on A's file, once it has it, until its group is killed (kill_holder):
# the command flock(1) runs inherits the locked descriptor, so the lock goes only with both.
hold_flock_on_a() {
  rm -f "$work/held.ok"
  set -m
  flock "$mnt/lk" sh -c ": >'$work/held.ok'; exec sleep 60" &
  holder_pid=$!
  set +m
  for _ in $(seq 250); do
    [ -e "$work/held.ok" ] && return 0
    sleep 0.02
  done
  fail "flock on A did not get the lock"
}

kill_holder() {
  kill -- -"$holder_pid"
  wait "$holder_pid" 2>/dev/null
  holder_pid=
}

case_flock_across_mounts() {
  start_server
  mount_both
  : >"$mnt/lk"
  hold_flock_on_a
  flock -n "$second_mnt/lk" true && fail "flock -n on B got the lock A holds"
  kill_holder
  # The kernel sends the release of a closed file without waiting for it, so the flock the last
  # close let go reaches the server just after.
  local freed=
  for _ in $(seq 40); do
    flock -n "$second_mnt/lk" true && freed=1 && break
    sleep 0.05
  done
  [ -n "$freed" ] || fail "flock -n on B still failed 2 s after A's holder exited"

  hold_flock_on_a
  flock -n "$second_mnt/lk" true && fail "flock -n on B got the lock A holds again"
  # A's mount dies with the lock held: the server lets its connection's locks go.
  kill -9 "$brindle_pid"
  wait "$brindle_pid" 2>/dev/null
  brindle_pid=
  for _ in $(seq 100); do
    flock -n "$second_mnt/lk" true && return 0
    sleep 0.05
  done
  fail "flock -n on B still failed 5 s after A's mount was killed"
}

case_getlk_across_mounts() {
  start_server
  mount_both
  : >"$mnt/db"
  python3 - "$mnt/db" "$second_mnt/db" "$work" <<'PY' || fail "byte-range locks do not hold across mounts"
import fcntl, os, struct, sys, time
a_path, b_path, work = sys.argv[1:]
r, w = os.pipe()
child = os.fork()
if child == 0:
    fd = os.open(a_path, os.O_RDWR)
    fcntl.lockf(fd, fcntl.LOCK_EX, 10, 100)  # bytes 100..109
    os.write(w, b"x")
    time.sleep(30)
    os._exit(0)
os.read(r, 1)
fd = os.open(b_path, os.O_RDWR)
query = struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
kind, _, start, length, pid = struct.unpack("hhqqi", fcntl.fcntl(fd, fcntl.F_GETLK, query))
problems = []
if kind != fcntl.F_WRLCK or start != 100 or length != 10:
    problems.append(f"F_GETLK on B shows type {kind} start {start} length {length}, not A's write lock 100+10")
if pid != child:
    problems.append(f"F_GETLK on B names pid {pid}, not A's holder {child}")
try:
    fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 105)
    problems.append("F_SETLK on B got a byte A holds")
except OSError:
    pass
fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 10, 0)  # bytes A does not hold
os.kill(child, 9)
os.waitpid(child, 0)
# The holder's end closed its descriptor, which lets its range go.
deadline = time.time() + 5
while True:
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 105)
        break
    except OSError:
        if time.time() > deadline:
            problems.append("B could not lock byte 105 after A's holder died")
            break
        time.sleep(0.05)
print("\n".join(problems))
sys.exit(1 if problems else 0)
PY
}

case_sqlite_two_writers() {
  command -v sqlite3 >/dev/null || fail "sqlite3 is missing: scripts/deps installs it"
  # Without change notices, so that what a mount does as a lock is granted is all that keeps a
  # writer from reading pages, attributes and names cached before the other's last commit.
  start_server --without-extension change_notices
  mount_both
  sqlite3 "$mnt/shared.db" "CREATE TABLE t (writer TEXT, n INTEGER);" || fail "cannot create the database"
  writer() {  # writer MOUNT NAME
    local i
    for i in $(seq 300); do
      printf 'BEGIN IMMEDIATE; INSERT INTO t VALUES (%s, %d); COMMIT;\n' "'$2'" "$i"
    done | sqlite3 -cmd ".timeout 20000" "$1/shared.db" >/dev/null 2>"$work/sqlite-$2.err"
  }
  writer "$mnt" a &
  local a=$!
  writer "$second_mnt" b &
  local b=$!
  wait "$a" || fail "writer on A failed: $(head -3 "$work/sqlite-a.err")"
  wait "$b" || fail "writer on B failed: $(head -3 "$work/sqlite-b.err")"
  local rows check
  rows=$(sqlite3 "$export_dir/shared.db" "SELECT count(*) FROM t;")
  check=$(sqlite3 "$export_dir/shared.db" "PRAGMA integrity_check;")
  [ "$check" = ok ] || fail "integrity_check says: $check"
  [ "$rows" = 600 ] || fail "$rows of 600 rows are in the database"
}

case_writes_seen_after_unlock() {
  start_server --without-extension change_notices
  # With the kernel caching writes, a lock let go must still leave them on the server.
  mount_both -o writeback_cache
  python3 - "$mnt/f" "$second_mnt/f" <<'PY' || fail "B read what A wrote before it let go of its lock stale"
import fcntl, mmap, os, sys
a_path, b_path = sys.argv[1:]
size = 8192
with open(a_path, "wb") as f:
    f.write(b"-" * size)
b = os.open(b_path, os.O_RDWR)
os.pread(b, size, 0)  # B holds the old pages
a = os.open(a_path, os.O_RDWR)
mapped = mmap.mmap(a, size)
stale = []
for i in range(20):
    data = bytes([ord("a") + i]) * size
    fcntl.lockf(a, fcntl.LOCK_EX)
    if i % 2:
        mapped[:] = data  # through a shared mapping, never synced
    else:
        os.pwrite(a, data, 0)
    fcntl.lockf(a, fcntl.LOCK_UN)
    fcntl.lockf(b, fcntl.LOCK_SH)
    if os.pread(b, size, 0) != data:
        stale.append(i)
    fcntl.lockf(b, fcntl.LOCK_UN)
print(f"stale on B after rounds {stale}" if stale else "", end="")
sys.exit(1 if stale else 0)
PY
}

# The holder of a descriptor that wrote the file takes a lock after another mount grew the file
# under its own: the lock shows the file as the server has it, not as this mount's write left it.
case_size_seen_after_lock() {
  start_server --without-extension change_notices
  mount_both -o attr_timeout=5
  python3 - "$mnt/f" "$second_mnt/f" <<'PY' || fail "A's lock showed the file as its own write left it"
import fcntl, os, sys
a_path, b_path = sys.argv[1:]
a = os.open(a_path, os.O_CREAT | os.O_RDWR, 0o644)
os.write(a, b"a" * 10)
b = os.open(b_path, os.O_RDWR)
fcntl.lockf(b, fcntl.LOCK_EX)
os.pwrite(b, b"b" * 10, 10)
fcntl.lockf(b, fcntl.LOCK_UN)
fcntl.lockf(a, fcntl.LOCK_EX)
size, data = os.fstat(a).st_size, os.pread(a, 100, 0)
print(f"size {size}, {len(data)} bytes read, after B grew the file to 20" if size != 20 or data != b"a" * 10 + b"b" * 10 else "", end="")
sys.exit(0 if size == 20 and data == b"a" * 10 + b"b" * 10 else 1)
PY
}

case_waiting_flock_interrupted() {
  start_server
  mount_both
  : >"$mnt/lk"
  hold_flock_on_a
  # Ctrl-C in a program that waits in flock(2): its handler runs once the mount answers EINTR.
  python3 - "$second_mnt/lk" "$work/waiting" <<'PY' &
import fcntl, os, signal, sys
# A shell starts background jobs with SIGINT ignored; Ctrl-C's own handler is put back.
signal.signal(signal.SIGINT, signal.default_int_handler)
fd = os.open(sys.argv[1], os.O_RDWR)
open(sys.argv[2], "w").close()
try:
    fcntl.flock(fd, fcntl.LOCK_EX)
except KeyboardInterrupt:
    sys.exit(3)
sys.exit(0)
PY
  local waiter=$!
  for _ in $(seq 250); do [ -e "$work/waiting" ] && break; sleep 0.02; done
  sleep 0.5
  kill -0 "$waiter" 2>/dev/null || fail "flock on B did not wait for A's lock"
  local sent
  sent=$(date +%s%N)
  kill -INT "$waiter"
  wait "$waiter"
  local status=$? took=$((($(date +%s%N) - sent) / 1000000))
  [ "$status" = 3 ] || fail "flock on B ended with status $status after SIGINT, not with KeyboardInterrupt (3)"
  [ "$took" -lt 1000 ] || fail "flock on B took $took ms to end after SIGINT"

  # More waiters than the mount has threads for requests: B goes on answering while they wait,
  # and each gets the lock once A lets it go.
  local waiters=() i
  for i in $(seq 24); do
    flock "$second_mnt/lk" true &
    waiters+=($!)
  done
  sleep 1
  timeout 5 touch "$second_mnt/answered" || fail "B did not answer a create while 24 locks waited"
  kill_holder
  local deadline=$(($(date +%s) + 20))
  for i in "${waiters[@]}"; do
    while kill -0 "$i" 2>/dev/null; do
      [ "$(date +%s)" -lt "$deadline" ] || fail "waiters on B still waited 20 s after A let the lock go"
      sleep 0.05
    done
    wait "$i" || fail "a waiter on B failed once A let the lock go"
  done
}

case_local_without_extension() {
  start_server --without-extension locks
  mount_both
  : >"$mnt/lk"
  hold_flock_on_a
  # Each mount keeps its locks to itself: B sees nothing of A's, A's own programs do.
  flock -n "$second_mnt/lk" true || fail "without the extension flock on B was refused"
  flock -n "$mnt/lk" true && fail "without the extension a second flock on A got A's lock"
  return 0
}

"case_$case_name"
