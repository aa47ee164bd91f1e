#!/usr/bin/env bash
# Runs the differential test (differential.py) on a mount of a fresh brindle-server export and on
# a plain directory, both on one tmpfs, for a fixed set of seeds, or for the seed and length given.
# Usage: differential.sh BRINDLE BRINDLE_SERVER [--seed N] [--steps M]
set -uo pipefail

brindle=$(realpath "$1")
server_bin=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/mount_fixture.sh"

seeds=(1 2 3 4 5 6)
steps=4000
while [ $# -gt 0 ]; do
  case $1 in
    --seed) seeds=("$2"); shift 2 ;;
    --steps) steps=$2; shift 2 ;;
    *) fail "unknown argument '$1'" ;;
  esac
done

reference=$work/ref
for seed in "${seeds[@]}"; do
  rm -rf "$export_dir" "$reference"
  mkdir -m 0777 "$export_dir" "$reference"
  start_server --namedattr
  # Caches that time out at once: a change made behind the mount shows at the next look.
  mount_foreground -o allow_other,default_permissions,attr_timeout=0,entry_timeout=0
  python3 "$here/differential.py" --mount "$mnt" --export "$export_dir" --reference "$reference" \
    --seed "$seed" --steps "$steps" || fail "the mount and the local directory differ (seed $seed)"
  unmount_and_wait
  stop_server
done
echo "ok: differential, seeds ${seeds[*]}, $steps steps each"
