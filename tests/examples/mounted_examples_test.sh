#!/usr/bin/env bash
# Mounts the C++ SDK's examples for real with brindle and runs on them what users do.
# Usage: mounted_examples_test.sh BRINDLE EXAMPLES_DIR CASE
#   hello                  run hello, mount, read /hello, refuse changes, unmount
set -uo pipefail

brindle=$(realpath "$1")
examples=$(realpath "$2")
server_bin=/nonexistent  # mount_fixture's own server is not used here
case_name=$3
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/mount_fixture.sh"

start_example() {  # start_example NAME [options...]
  rm -f "$work/session.json" "$work/server.out"
  set -m
  "$examples/$1" --session-file "$work/session.json" -f "${@:2}" >"$work/server.out" 2>"$work/server.log" &
  server_pid=$!
  set +m
  for _ in $(seq 250); do
    [ -s "$work/server.out" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.02
  done
  cat "$work/server.log" >&2
  fail "the $1 example did not start"
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

case $case_name in
  hello)
    start_example hello --volume-name demo
    [ "$(cat "$work/server.out")" = "$work/session.json" ] || fail "hello did not print its session file"
    "$brindle" "$work/session.json" "$mnt" || fail "brindle did not mount hello"
    [ "$(cat "$mnt/hello")" = "Hello from a C++ brindle server!" ] || fail "reading $mnt/hello: $(cat "$mnt/hello")"
    [ "$(ls "$mnt")" = hello ] || fail "the listing is not just hello: $(ls "$mnt")"
    [ "$(stat -c %a:%s "$mnt/hello")" = 444:33 ] || fail "hello's mode and size: $(stat -c %a:%s "$mnt/hello")"
    expect_errno EROFS "open('$mnt/new', 'w')"
    expect_errno EROFS "os.mkdir('$mnt/dir')"
    expect_errno ENOENT "os.stat('$mnt/missing')"
    fusermount3 -u "$mnt" || fail "unmounting hello"
    stop_example
    ;;
  *)
    fail "unknown case '$case_name'"
    ;;
esac
echo "ok: $case_name"
