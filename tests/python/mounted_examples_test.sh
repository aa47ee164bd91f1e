#!/usr/bin/env bash
# Mounts the Python SDK's examples for real with brindle and runs on them what users and the
# standard suites do. Usage: mounted_examples_test.sh BRINDLE CASE
#   hello        the README's steps: run hello.py, mount, read /hello, unmount
#   fsx          fsx's random operations on memory.py (FSX_OPS, default 20000)
#   differential the seeded differential test on memory.py (no changes behind the mount: there is
#                no directory behind it); DIFFERENTIAL_SEEDS (1 2 3) and DIFFERENTIAL_STEPS (2000)
#   git          git clone of a small local repository onto memory.py, then git fsck
#   passthrough  a tree copied onto passthrough.py lands in its directory, errors come back as
#                the directory's own
set -uo pipefail

brindle=$(realpath "$1")
server_bin=/nonexistent  # mount_fixture's own server is not used here
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
source "$source_dir/tests/e2e/mount_fixture.sh"
export PYTHONPATH=$source_dir/sdk/python${PYTHONPATH:+:$PYTHONPATH}
python=${PYTHON:-python3}

start_example() {  # start_example NAME [options...]
  run_example "$1" "$python" -m "brindle_server.examples.$1" "${@:2}"
}

case $case_name in
  hello)
    start_example hello --export-name demo
    [ "$(cat "$work/server.out")" = "$work/session.json" ] || fail "hello did not print its session file"
    "$brindle" "$work/session.json" "$mnt" || fail "brindle did not mount hello"
    [ "$(cat "$mnt/hello")" = "Hello from a Python brindle server!" ] || fail "reading $mnt/hello: $(cat "$mnt/hello")"
    [ "$(ls "$mnt")" = hello ] || fail "the listing is not just hello: $(ls "$mnt")"
    expect_errno EROFS "open('$mnt/new', 'w')"
    expect_errno ENOENT "os.stat('$mnt/missing')"
    fusermount3 -u "$mnt" || fail "unmounting hello"
    stop_example
    ;;
  fsx)
    conformance=${BRINDLE_CONFORMANCE:-$source_dir/../shared/conformance}
    [ -x "$conformance/build" ] || { echo "skipped: no conformance suites at $conformance"; exit 77; }
    tools=$source_dir/build-conformance
    "$conformance/build" "$tools" || fail "building the conformance suites"
    start_example memory
    mount_foreground -o allow_other,default_permissions
    FSX_BIN=$tools/fsx "$conformance/fsx-run" "$mnt" "${FSX_OPS:-20000}" || fail "fsx"
    unmount_and_wait
    stop_example
    ;;
  differential)
    reference=$work/ref
    for seed in ${DIFFERENTIAL_SEEDS:-1 2 3}; do
      rm -rf "$reference" && mkdir -m 0777 "$reference"
      start_example memory
      mount_foreground -o allow_other,default_permissions,attr_timeout=0,entry_timeout=0
      chmod 0777 "$mnt"
      python3 "$source_dir/tests/e2e/differential.py" --mount "$mnt" --reference "$reference" \
        --seed "$seed" --steps "${DIFFERENTIAL_STEPS:-2000}" || fail "memory.py and a local directory differ (seed $seed)"
      unmount_and_wait
      stop_example
    done
    ;;
  git)
    command -v git >/dev/null || { echo "skipped: git is not installed"; exit 77; }
    origin=$work/origin
    git init -q "$origin"
    for i in $(seq 40); do
      mkdir -p "$origin/dir$((i % 5))"
      seq "$i" $((i * 50)) >"$origin/dir$((i % 5))/file$i"
      git -C "$origin" add -A && git -C "$origin" -c user.name=t -c user.email=t@t commit -qm "change $i"
    done
    start_example memory
    mount_foreground -o allow_other,default_permissions
    git clone -q "$origin" "$mnt/clone" || fail "git clone onto memory.py"
    git -C "$mnt/clone" fsck --full --strict || fail "git fsck on memory.py"
    [ "$(git -C "$mnt/clone" rev-parse HEAD)" = "$(git -C "$origin" rev-parse HEAD)" ] || fail "the clone's HEAD differs"
    diff -r --exclude=.git "$origin" "$mnt/clone" || fail "the clone's files differ"
    git -C "$mnt/clone" gc -q || fail "git gc on memory.py"
    git -C "$mnt/clone" fsck --strict || fail "git fsck after gc"
    unmount_and_wait
    stop_example
    ;;
  passthrough)
    start_example passthrough --export "$export_dir"
    mount_foreground -o allow_other,default_permissions
    cp -a "$source_dir/sdk/python" "$mnt/copy" || fail "copying a tree onto passthrough.py"
    diff -r "$source_dir/sdk/python" "$export_dir/copy" || fail "the tree in the export differs"
    mkdir "$mnt/full" && touch "$mnt/full/f"
    expect_errno ENOTEMPTY "os.rmdir('$mnt/full')"
    expect_errno EEXIST "os.mkdir('$mnt/full')"
    python3 -c "import os; os.setxattr('$mnt/full/f', 'user.k', b'v')" || fail "setxattr through passthrough.py"
    [ "$(python3 -c "import os; print(os.getxattr('$export_dir/full/f', 'user.user.k').decode())")" = v ] ||
      fail "the attribute is not in the export's user namespace"
    expect_errno ENODATA "os.getxattr('$mnt/full/f', 'user.missing')"
    unmount_and_wait
    stop_example
    ;;
  *)
    fail "unknown case '$case_name'"
    ;;
esac
echo "ok: $case_name"
