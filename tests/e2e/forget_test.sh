#!/usr/bin/env bash
# The server's table of nodes shrinks as the kernel lets go of what it looked up, and never loses
# a node that a mount still holds: the kernel is made to drop every unused dentry and inode, and
# the mounts must then show what they showed before.
#   nodes_let_go        one mount: the nodes of a listed tree go from the server, and the tree
#                       reads the same afterwards
#   held_by_other_mount two mounts: a directory that only the second still holds (a process sits
#                       in it) stays usable there after the first forgot it
#   without_extension   the server withholds forget: nothing is let go, the tree reads the same
# Usage: forget_test.sh BRINDLE SERVER CASE. Exits 77 (skipped) without FUSE mounts.
set -uo pipefail

brindle=$1
server_bin=$2
case_name=$3

source "$(dirname "$0")/mount_fixture.sh"

files=200
holder_pid=
cleanup_case() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null && wait "$holder_pid" 2>/dev/null
  holder_pid=
}

make_tree() {
  mkdir -p "$export_dir/tree/sub"
  local i
  for i in $(seq "$files"); do printf 'file %s\n' "$i" >"$export_dir/tree/sub/f$i"; done
}

# Sizes and contents of every file, as the mount at $1 shows them.
tree_digest() {
  (cd "$1/tree" && find . -type f -printf '%p %s\n' | sort && cat sub/f* | md5sum)
}

# The kernel lets go of every dentry and inode nothing uses; a mount forgets its nodes a second
# after, so the server has heard of them once its log stands still.
drop_kernel_caches() {
  sync
  echo 2 >/proc/sys/vm/drop_caches
  sleep 2.5
}

# How many nodes the server let go of, by its debug log.
nodes_let_go() {
  sed -n 's/.*orvel: server let go of \([0-9]*\) node.*/\1/p' "$work/server.log" | awk '{ n += $1 } END { print n + 0 }'
}

case "$case_name" in
  nodes_let_go | without_extension)
    make_tree
    if [ "$case_name" = nodes_let_go ]; then start_server -d; else start_server -d --without-extension forget; fi
    mount_foreground
    before=$(tree_digest "$mnt") || fail "the tree cannot be read"
    inode_before=$(stat -c %i "$mnt/tree/sub/f5") || fail "stat of a file failed"
    drop_kernel_caches
    gone=$(nodes_let_go)
    echo "nodes let go after the kernel dropped its caches: $gone"
    if [ "$case_name" = nodes_let_go ]; then
      [ "$gone" -ge "$files" ] || fail "the server let go of $gone nodes, fewer than the $files files the kernel forgot"
      grep -q 'orvel: server call forget_nodes' "$work/server.log" || fail "no forget_nodes reached the server"
    else
      [ "$gone" = 0 ] || fail "a server withholding forget let go of $gone nodes"
      grep -q 'orvel: server call forget_nodes' "$work/server.log" && fail "forget_nodes went to a server that did not offer it"
    fi
    after=$(tree_digest "$mnt") || fail "the tree cannot be read after the kernel dropped its caches"
    [ "$before" = "$after" ] || fail "the tree reads differently after its nodes were forgotten"
    # Programs that keep inode numbers (git's index, backups) must see one file keep its number.
    [ "$(stat -c %i "$mnt/tree/sub/f5")" = "$inode_before" ] || fail "a file's inode number changed once its node was forgotten"
    # Forgotten again, each file looked up afresh must be the same object with the same bytes.
    drop_kernel_caches
    [ "$(cat "$mnt/tree/sub/f7")" = "file 7" ] || fail "a file found again after its node went reads wrong"
    printf 'more\n' >>"$mnt/tree/sub/f7" || fail "a file found again cannot be written"
    [ "$(tail -n 1 "$export_dir/tree/sub/f7")" = more ] || fail "a write through a node found again was lost"
    ;;
  held_by_other_mount)
    make_tree
    start_server -d
    mount_foreground
    mount_second
    tree_digest "$mnt" >/dev/null || fail "the tree cannot be read on the first mount"
    expected=$(tree_digest "$second_mnt") || fail "the tree cannot be read on the second mount"
    # The process's working directory keeps the second mount's inode of sub through the drop.
    (cd "$second_mnt/tree/sub" && exec sleep 60) &
    holder_pid=$!
    sleep 0.2
    drop_kernel_caches
    echo "nodes let go: $(nodes_let_go)"
    [ "$(nodes_let_go)" -gt 0 ] || fail "nothing was let go, so nothing here was tested"
    held=/proc/$holder_pid/cwd
    listed=$(ls "$held" | wc -l) || fail "the directory the second mount holds cannot be listed"
    [ "$listed" = "$files" ] || fail "the held directory lists $listed entries, not $files"
    [ "$(cat "$held/f3")" = "file 3" ] || fail "a file in the held directory reads wrong"
    : >"$held/new" || fail "a file cannot be created in the held directory"
    [ -e "$export_dir/tree/sub/new" ] || fail "a create in the held directory went astray"
    rm "$held/new" || fail "a file cannot be removed from the held directory"
    cleanup_case
    [ "$(tree_digest "$second_mnt")" = "$expected" ] || fail "the second mount reads the tree differently afterwards"
    ;;
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac
echo "PASS: $case_name"
