#!/usr/bin/env bash
# brindle-conform run as a server's author runs it. Usage: conform_test.sh CONFORM SERVER FAULTY CASE
#   read_write    brindle-server --namedattr, its export holding a name that is not UTF-8: all pass,
#                 the checks of the extensions it advertises among them
#   withheld_extensions  the same server withholding its extensions: all pass, and the checks of
#                 the extensions are skipped
#   read_only     brindle-server --readonly passes with --read-only --no-xattrs; without
#                 --read-only the kit's changes fail and say why
#   command_line  --help, --list, --only, usage errors, sessions that cannot be used
#   fault_NAME    the faulty server in front of brindle-server: the checks that the fault spoils
#                 fail, named in the JSON report, and no others
set -uo pipefail

conform=$1
server=$2
faulty=$3
case_name=$4
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

wait_for_file() {
  for _ in $(seq 250); do [ -s "$1" ] && return 0; sleep 0.02; done
  fail "$1 did not appear"
}

start_server() {  # start_server SESSION EXPORT [options...]
  mkdir -p "$2"
  "$server" --export "$2" --session-file "$1" -f "${@:3}" >/dev/null 2>>"$work/server.log" &
  pids+=($!)
  wait_for_file "$1"
}

# The ids of the checks that failed, sorted, on one line.
failed_checks() {
  python3 -c 'import json, sys
report = json.load(open(sys.argv[1]))
print(" ".join(sorted(c["id"] for c in report["checks"] if c["result"] == "fail")))' "$1"
}

result_of() {  # result_of REPORT ID
  python3 -c 'import json, sys
print(next(c["result"] for c in json.load(open(sys.argv[1]))["checks"] if c["id"] == sys.argv[2]))' "$1" "$2"
}

reason_of() {  # reason_of REPORT ID
  python3 -c 'import json, sys
print(next(c["reason"] for c in json.load(open(sys.argv[1]))["checks"] if c["id"] == sys.argv[2]))' "$1" "$2"
}

# The kit leaves nothing behind in the export but what was there.
export_holds_only() {  # export_holds_only DIR NAMES...
  local listed expected
  listed=$(ls -A "$1" | sort | tr '\n' ' ')
  expected=$( (($# > 1)) && printf '%s\n' "${@:2}" | sort | tr '\n' ' ')
  [ "$listed" = "$expected" ] || fail "the export holds '$listed', not '$expected'"
}

run_kit() {  # run_kit EXPECTED_STATUS ARGS...; the output goes to $work/out and $work/err
  local wanted=$1
  "$conform" "${@:2}" >"$work/out" 2>"$work/err"
  local status=$?
  [ "$status" = "$wanted" ] || {
    cat "$work/out" "$work/err" >&2
    fail "brindle-conform ${*:2} exited $status, not $wanted"
  }
}

fault_expectations() {  # the checks each fault spoils, and a word the first one's reason must hold
  case $1 in
    stuck_cookie) echo "extensions.listing_in_open_closes_whole_listing extensions.listing_in_open_first_batch listing.cookies_grow|cookies must grow" ;;
    eio_for_missing) echo "errors.enoent_missing_name files.unlinked_while_open namespace.create_lookup_remove namespace.rename_across_directories namespace.rename_over_existing|got EIO (5)" ;;
    missing_result_key) echo "shape.readlink symlinks.target_kept|required \"link_target\" is missing" ;;
    any_token) echo "robust.wrong_token|was accepted" ;;
    silent_statfs) echo "robust.pipelined_requests shape.statfs|within 1 s" ;;
    linux_errno) echo "errors.enotempty_directory|Linux's number for ENOTEMPTY" ;;
    raw_name_bytes) echo "listing.entries_match_lookup listing.root_stable names.utf8_only|EILSEQ" ;;
    *) fail "no fault $1" ;;
  esac
}

case $case_name in
  read_write)
    mkdir -p "$work/export"
    touch "$work/export/"$'not-utf8-\xff'
    start_server "$work/session.json" "$work/export" --namedattr
    run_kit 0 "$work/session.json" --json "$work/report.json" --export "$work/export"
    [ -z "$(failed_checks "$work/report.json")" ] || fail "checks failed: $(failed_checks "$work/report.json")"
    grep -qx '[0-9]* passed, 0 failed, [0-9]* skipped' "$work/out" || fail "no closing counts: $(tail -n 1 "$work/out")"
    export_holds_only "$work/export" $'not-utf8-\xff'
    for check in extensions.create_opens extensions.open_directory_record extensions.post_op_records \
        extensions.listing_in_open_first_batch extensions.listing_in_open_closes_whole_listing \
        locks.conflicting_owners_refused locks.unlock_releases locks.connection_end_releases \
        changes.export_watched_with_notices changes.export_change_told extensions.forget_keeps_counted_node \
        extensions.forget_lets_go_and_finds_again extensions.forget_keeps_parent_of_held_child \
        extensions.forget_keeps_open_node extensions.forget_passes_over_nonsense; do
      [ "$(result_of "$work/report.json" $check)" = pass ] || fail "$check did not run against a server that advertises it"
    done
    tail -n 1 "$work/out"
    ;;
  withheld_extensions)
    start_server "$work/session.json" "$work/export" --namedattr --without-extension create_opens \
      --without-extension open_directory_record --without-extension change_notices --without-extension append \
      --without-extension locks --without-extension post_op_records --without-extension listing_in_open \
      --without-extension export_watched --without-extension forget
    run_kit 0 "$work/session.json" --json "$work/report.json"
    [ -z "$(failed_checks "$work/report.json")" ] || fail "checks failed: $(failed_checks "$work/report.json")"
    for check in extensions.create_opens extensions.open_directory_record extensions.post_op_records \
        extensions.listing_in_open_first_batch extensions.listing_in_open_closes_whole_listing \
        locks.conflicting_owners_refused locks.unlock_releases locks.connection_end_releases \
        changes.export_watched_with_notices extensions.forget_keeps_counted_node \
        extensions.forget_lets_go_and_finds_again extensions.forget_keeps_parent_of_held_child \
        extensions.forget_keeps_open_node extensions.forget_passes_over_nonsense; do
      [ "$(result_of "$work/report.json" $check)" = skip ] || fail "$check ran against a server that does not advertise it"
    done
    tail -n 1 "$work/out"
    ;;
  over_tls)
    # The same checks through TLS: the framing above it must not notice.
    mkdir -p "$work/export"
    start_server "$work/session.json" "$work/export" --namedattr --listen tls://127.0.0.1:0
    grep -q '"tls_pin":"sha256:' "$work/session.json" || fail "the session file pins no certificate"
    run_kit 0 "$work/session.json" --json "$work/report.json"
    [ -z "$(failed_checks "$work/report.json")" ] || fail "checks failed: $(failed_checks "$work/report.json")"
    export_holds_only "$work/export"
    tail -n 1 "$work/out"
    ;;
  read_only)
    mkdir -p "$work/export/directory"
    echo contents >"$work/export/file"
    start_server "$work/session.json" "$work/export" --readonly
    run_kit 0 "$work/session.json" --read-only --no-xattrs --json "$work/report.json"
    grep -q '^PASS errors.erofs_every_change' "$work/out" || fail "the read-only checks did not run"
    # Told nothing, the kit tries its changes and says what to do.
    run_kit 1 "$work/session.json" --no-xattrs --only shape.create_file --json "$work/report.json"
    [ "$(failed_checks "$work/report.json")" = shape.create_file ] || fail "$(cat "$work/out")"
    reason_of "$work/report.json" shape.create_file | grep -q -- '--read-only' ||
      fail "the reason does not point at --read-only: $(reason_of "$work/report.json" shape.create_file)"
    export_holds_only "$work/export" directory file
    ;;
  command_line)
    run_kit 0 --help
    grep -q '^Usage: brindle-conform' "$work/out" || fail "--help prints no usage"
    run_kit 0 --list
    ids=$(awk '{print $1}' "$work/out")
    [ "$(echo "$ids" | wc -l)" -ge 60 ] || fail "--list lists $(echo "$ids" | wc -l) checks"
    [ -z "$(echo "$ids" | sort | uniq -d)" ] || fail "--list repeats ids: $(echo "$ids" | sort | uniq -d)"
    echo "$ids" | grep -qvx '[a-z0-9]*\.[a-z0-9_]*' && fail "ids that are not group.name: $(echo "$ids" | grep -vx '[a-z0-9]*\.[a-z0-9_]*')"
    # The protocol's reference names every check, and no check the kit does not have.
    documented=$(sed -n 's/^| `\([a-z0-9]*\.[a-z0-9_]*\)` |.*/\1/p' "$source_dir/docs/protocol.md" | sort)
    [ "$documented" = "$(echo "$ids" | sort)" ] ||
      fail "docs/protocol.md and --list name other checks: $(diff <(echo "$documented") <(echo "$ids" | sort) | grep '^[<>]' | tr '\n' ' ')"
    run_kit 2
    grep -q 'no session file given' "$work/err" || fail "no session: $(cat "$work/err")"
    run_kit 2 --only nothing.like_this "$work/none.json"
    grep -q "no group or check is named 'nothing.like_this'" "$work/err" || fail "--only: $(cat "$work/err")"
    run_kit 2 --timeout 0 "$work/none.json"
    run_kit 2 "$work/none.json"
    grep -q "session file $work/none.json" "$work/err" || fail "a missing session file: $(cat "$work/err")"

    start_server "$work/session.json" "$work/export"
    run_kit 0 "$work/session.json" --only robust.wrong_token,handshake
    [ "$(grep -c '^PASS' "$work/out")" = 4 ] || fail "--only ran: $(cat "$work/out")"
    tail -n 1 "$work/out" | grep -qx '4 passed, 0 failed, 0 skipped' || fail "counts: $(tail -n 1 "$work/out")"
    # The server removes its session file as it stops; a copy names the socket nobody listens on.
    cp "$work/session.json" "$work/stopped.json"
    kill "${pids[0]}" && wait "${pids[0]}" 2>/dev/null
    run_kit 2 "$work/stopped.json"
    grep -q 'cannot check the server' "$work/err" || fail "a stopped server: $(cat "$work/err")"

    # A server that accepts and never answers holds the kit up for the timeout, not longer.
    python3 -c 'import socket, sys, time
listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1]); listener.listen(4)
held = [listener.accept() for _ in range(4)]
time.sleep(60)' "$work/silent.sock" &
    pids+=($!)
    wait_for_file_socket() { for _ in $(seq 250); do [ -S "$1" ] && return 0; sleep 0.02; done; fail "no $1"; }
    wait_for_file_socket "$work/silent.sock"
    python3 -c 'import json, os, sys
session = json.load(open(sys.argv[1])); session["socket_path"] = sys.argv[2]
json.dump(session, open(sys.argv[3], "w")); os.chmod(sys.argv[3], 0o600)' "$work/stopped.json" "$work/silent.sock" "$work/silent.json"
    began=$(date +%s)
    run_kit 2 "$work/silent.json" --timeout 1
    [ $(($(date +%s) - began)) -le 5 ] || fail "a silent server held the kit up for $(($(date +%s) - began)) s"
    grep -q 'no reply to handshake within 1 s' "$work/err" || fail "a silent server: $(cat "$work/err")"
    ;;
  fault_*)
    fault=${case_name#fault_}
    IFS='|' read -r expected word <<<"$(fault_expectations "$fault")"
    start_server "$work/upstream.json" "$work/export" --namedattr
    "$faulty" "$work/upstream.json" "$work/session.json" "$fault" &
    pids+=($!)
    wait_for_file "$work/session.json"
    run_kit 1 "$work/session.json" --timeout 1 --json "$work/report.json"
    got=$(failed_checks "$work/report.json")
    [ "$got" = "$expected" ] || fail "the fault $fault failed '$got', not '$expected'"
    first=${expected%% *}
    reason_of "$work/report.json" "$first" | grep -qF -- "$word" ||
      fail "the reason for $first does not say '$word': $(reason_of "$work/report.json" "$first")"
    export_holds_only "$work/export"
    grep "^FAIL $first" "$work/out"
    ;;
  *)
    fail "unknown case '$case_name'"
    ;;
esac
echo "ok: $case_name"
