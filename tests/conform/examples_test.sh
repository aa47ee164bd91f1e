#!/usr/bin/env bash
# brindle-conform against each SDK's examples, each with the flags that say what it claims.
# Usage: examples_test.sh CONFORM CASE [CPP_EXAMPLES_DIR]
#   CASE: python_hello, python_memory, python_memory_over_tls, python_passthrough, cpp_hello or cpp_memoryfs
set -uo pipefail

conform=$1
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
export PYTHONPATH=$here/../../sdk/python${PYTHONPATH:+:$PYTHONPATH}
python=${PYTHON:-python3}
work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpp_examples=${3:-}
case $case_name in
  python_hello) server=("$python" -m brindle_server.examples.hello); claims=(--read-only --no-xattrs) ;;
  python_memory) server=("$python" -m brindle_server.examples.memory); claims=() ;;
  python_memory_over_tls)
    server=("$python" -m brindle_server.examples.memory --listen tls://127.0.0.1:0); claims=() ;;
  python_passthrough)
    mkdir "$work/export" && echo kept >"$work/export/kept"
    server=("$python" -m brindle_server.examples.passthrough --export "$work/export"); claims=() ;;
  cpp_hello) server=("$cpp_examples/hello" -f); claims=(--read-only --no-xattrs --no-symlinks) ;;
  cpp_memoryfs) server=("$cpp_examples/memoryfs" -f); claims=() ;;
  *) fail "unknown case '$case_name'" ;;
esac

"${server[@]}" --session-file "$work/session.json" >/dev/null 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 250); do [ -s "$work/session.json" ] && break; sleep 0.02; done
[ -s "$work/session.json" ] || { cat "$work/server.log" >&2; fail "the $case_name example did not start"; }
if [[ $case_name == *_over_tls ]]; then
  grep -q '"tls_pin":"sha256:' "$work/session.json" || fail "the session file pins no certificate"
fi

"$conform" "$work/session.json" "${claims[@]}" >"$work/out" 2>&1
status=$?
grep -v '^PASS' "$work/out"
[ "$status" = 0 ] || fail "brindle-conform failed the $case_name example (exit status $status)"
if [ "$case_name" = python_passthrough ]; then
  [ "$(ls -A "$work/export")" = kept ] || fail "the kit left '$(ls -A "$work/export" | tr '\n' ' ')' in the export"
fi
echo "ok: $case_name"
