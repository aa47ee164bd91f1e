#!/usr/bin/env bash
# brindle-conform against the Python SDK's examples, each with the flags that say what it claims.
# Usage: conform_examples_test.sh CONFORM CASE   (CASE: hello, memory or passthrough)
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

case $case_name in
  hello) options=(); claims=(--read-only --no-xattrs) ;;
  memory) options=(); claims=() ;;
  passthrough) mkdir "$work/export" && echo kept >"$work/export/kept"; options=(--export "$work/export"); claims=() ;;
  *) fail "unknown case '$case_name'" ;;
esac

"$python" -m "brindle_server.examples.$case_name" --session-file "$work/session.json" "${options[@]}" \
  >/dev/null 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 250); do [ -s "$work/session.json" ] && break; sleep 0.02; done
[ -s "$work/session.json" ] || { cat "$work/server.log" >&2; fail "the $case_name example did not start"; }

"$conform" "$work/session.json" "${claims[@]}" >"$work/out" 2>&1
status=$?
grep -v '^PASS' "$work/out"
[ "$status" = 0 ] || fail "brindle-conform failed the $case_name example (exit status $status)"
if [ "$case_name" = passthrough ]; then
  [ "$(ls -A "$work/export")" = kept ] || fail "the kit left '$(ls -A "$work/export" | tr '\n' ' ')' in the export"
fi
echo "ok: $case_name"
