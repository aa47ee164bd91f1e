#!/usr/bin/env bash
# Mounts the C++ SDK's examples for real with brindle and runs on them what users and the
# standard suites do. Usage: mounted_examples_test.sh BRINDLE EXAMPLES_DIR CASE
#   hello                  run hello, mount, read /hello, refuse changes, unmount
#   memoryfs_files         directories, symbolic links, extended attributes, rename, truncate and
#                          a file read after its name is gone, on memoryfs
#   memoryfs_fsx           fsx's random operations on memoryfs (FSX_OPS, default 20000)
#   memoryfs_differential  the seeded differential test on memoryfs (no changes behind the mount:
#                          there is no directory behind it); DIFFERENTIAL_SEEDS (1 2 3) and
#                          DIFFERENTIAL_STEPS (2000)
set -uo pipefail

brindle=$(realpath "$1")
examples=$(realpath "$2")
server_bin=/nonexistent  # mount_fixture's own server is not used here
case_name=$3
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/mount_fixture.sh"

start_example() {  # start_example NAME [options...]
  run_example "$1" "$examples/$1" -f "${@:2}"
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
  memoryfs_files)
    start_example memoryfs
    mount_foreground -o allow_other,default_permissions
    mkdir -p "$mnt/a/b" || fail "mkdir -p on memoryfs"
    printf 'first line\nsecond line\n' >"$mnt/a/b/file" || fail "writing a file"
    ln -s b/file "$mnt/a/link" || fail "creating a symbolic link"
    [ "$(readlink "$mnt/a/link")" = b/file ] || fail "the link's target: $(readlink "$mnt/a/link")"
    [ "$(head -n1 "$mnt/a/link")" = "first line" ] || fail "reading through the link"
    truncate -s 5 "$mnt/a/b/file" && [ "$(cat "$mnt/a/b/file")" = first ] || fail "truncate to 5 bytes"
    truncate -s 70000 "$mnt/a/b/file" && [ "$(stat -c %s "$mnt/a/b/file")" = 70000 ] || fail "truncate up"
    [ "$(tail -c 100 "$mnt/a/b/file" | tr -d '\0' | wc -c)" = 0 ] || fail "a file grown by truncate reads zeros"
    mv "$mnt/a/b" "$mnt/c" || fail "renaming a directory"
    [ -f "$mnt/c/file" ] && [ ! -e "$mnt/a/b" ] || fail "the directory did not move"
    [ "$(stat -c %h "$mnt/a")" = 2 ] && [ "$(stat -c %h "$mnt")" = 4 ] || fail "link counts after moving a directory"
    expect_errno EINVAL "os.rename('$mnt/c', '$mnt/c/inside')"
    expect_errno ENOTEMPTY "os.rmdir('$mnt/c')"
    echo other >"$mnt/other" && mv "$mnt/other" "$mnt/c/file" || fail "renaming over a file"
    [ "$(cat "$mnt/c/file")" = other ] || fail "the replaced file's contents"
    python3 -c "import os; os.setxattr('$mnt/c/file', 'user.colour', b'blue')" || fail "setxattr"
    [ "$(python3 -c "import os; print(os.getxattr('$mnt/c/file', 'user.colour').decode())")" = blue ] ||
      fail "getxattr"
    expect_errno EEXIST "os.setxattr('$mnt/c/file', 'user.colour', b'red', os.XATTR_CREATE)"
    expect_errno ENODATA "os.getxattr('$mnt/c/file', 'user.missing')"
    python3 -c "import os; os.removexattr('$mnt/c/file', 'user.colour'); assert os.listxattr('$mnt/c/file') == []" ||
      fail "removexattr"
    python3 - "$mnt/c/file" <<'PY' || fail "a file read and written after its name is gone"
import os, sys
fd = os.open(sys.argv[1], os.O_RDWR)
os.unlink(sys.argv[1])
os.pwrite(fd, b"kept", 0)
assert os.pread(fd, 100, 0) == b"keptr\n", os.pread(fd, 100, 0)
assert os.fstat(fd).st_nlink == 0
os.close(fd)
PY
    [ ! -e "$mnt/c/file" ] || fail "the unlinked file is still listed"
    rm -r "$mnt/a" "$mnt/c" && [ -z "$(ls -A "$mnt")" ] || fail "removing the trees"
    unmount_and_wait
    stop_example
    ;;
  memoryfs_fsx)
    conformance=${BRINDLE_CONFORMANCE:-$source_dir/../shared/conformance}
    [ -x "$conformance/build" ] || { echo "skipped: no conformance suites at $conformance"; exit 77; }
    tools=$source_dir/build-conformance
    "$conformance/build" "$tools" || fail "building the conformance suites"
    start_example memoryfs
    mount_foreground -o allow_other,default_permissions
    FSX_BIN=$tools/fsx "$conformance/fsx-run" "$mnt" "${FSX_OPS:-20000}" || fail "fsx"
    unmount_and_wait
    stop_example
    ;;
  memoryfs_differential)
    reference=$work/ref
    for seed in ${DIFFERENTIAL_SEEDS:-1 2 3}; do
      rm -rf "$reference" && mkdir -m 0777 "$reference"
      start_example memoryfs
      mount_foreground -o allow_other,default_permissions,attr_timeout=0,entry_timeout=0
      chmod 0777 "$mnt"
      python3 "$source_dir/tests/e2e/differential.py" --mount "$mnt" --reference "$reference" \
        --seed "$seed" --steps "${DIFFERENTIAL_STEPS:-2000}" || fail "memoryfs and a local directory differ (seed $seed)"
      unmount_and_wait
      stop_example
    done
    ;;
  *)
    fail "unknown case '$case_name'"
    ;;
esac
echo "ok: $case_name"
