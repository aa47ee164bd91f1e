#!/usr/bin/env bash
# Runs the standard conformance suites on a mount of a fresh brindle-server export on tmpfs,
# mounted with allow_other,default_permissions and the server run as root, as pjdfstest needs.
# Usage: conformance.sh BRINDLE BRINDLE_SERVER pjdfstest|fsx|fsx_writeback
#   pjdfstest       the whole suite; fails on any failure outside the expected-failures list
#   fsx             20000 random operations on one file (FSX_OPS overrides the count)
#   fsx_writeback   the same through a mount with writeback_cache
# The suites live outside the project (BRINDLE_CONFORMANCE, default ../shared/conformance beside
# the source tree) and are built once into build-conformance/. Exits 77 (skipped) without them.
set -uo pipefail

brindle=$(realpath "$1")
server_bin=$(realpath "$2")
suite=$3
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
conformance=${BRINDLE_CONFORMANCE:-$source_dir/../shared/conformance}
tools=$source_dir/build-conformance

if [ ! -x "$conformance/build" ]; then
  echo "skipped: no conformance suites at $conformance (set BRINDLE_CONFORMANCE)"
  exit 77
fi

source "$(dirname "$0")/mount_fixture.sh"

"$conformance/build" "$tools" || fail "building the conformance suites"
export PJDFSTEST_DIR=$tools/pjdfstest FSX_BIN=$tools/fsx

run_fsx() { "$conformance/fsx-run" "$mnt" "${FSX_OPS:-20000}"; }

start_server
case $suite in
  pjdfstest)
    mount_foreground -o allow_other,default_permissions
    PJD_EXPECTED=$conformance/pjdfstest-expected-failures.tsv "$conformance/pjdfstest-run" "$mnt" ||
      fail "pjdfstest found unexpected failures"
    ;;
  fsx)
    mount_foreground -o allow_other,default_permissions
    run_fsx || fail "fsx"
    ;;
  fsx_writeback)
    mount_foreground -o allow_other,default_permissions,writeback_cache
    run_fsx || fail "fsx with writeback_cache"
    ;;
  *)
    fail "unknown suite '$suite'"
    ;;
esac
unmount_and_wait
echo "ok: $suite"
