#!/usr/bin/env bash
# Runs the differential test (differential.py) on a mount of a fresh brindle-server export and on
# a plain directory, both on one tmpfs, for a fixed set of seeds, or for the seed and length given.
# With --restart-every K the server is killed and started again every K steps, under -o reconnect;
# --without-extension NAME starts the server withholding that extension.
# Usage: differential.sh BRINDLE BRINDLE_SERVER [--seed N] [--steps M] [--restart-every K]
#   [--without-extension NAME]...
set -uo pipefail

brindle=$(realpath "$1")
server_bin=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/mount_fixture.sh"

seeds=(1 2 3 4 5 6)
steps=4000
restart_every=0
server_options=(--namedattr)
while [ $# -gt 0 ]; do
  case $1 in
    --seed) seeds=("$2"); shift 2 ;;
    --steps) steps=$2; shift 2 ;;
    --restart-every) restart_every=$2; shift 2 ;;
    --without-extension) server_options+=(--without-extension "$2"); shift 2 ;;
    *) fail "unknown argument '$1'" ;;
  esac
done

reference=$work/ref
# Run by differential.py between steps: the server dies without cleaning up and a new one takes its
# session file and export, in a process group of its own. The first server stays this script's
# unreaped child: gone means gone or a zombie.
restart_command="pid=\$(cat '$work/server.pid'); kill -KILL \$pid
while [ -e /proc/\$pid ] && [ \"\$(cut -d')' -f2 /proc/\$pid/stat 2>/dev/null | cut -c2)\" != Z ]; do sleep 0.01; done
rm -f '$work/session.json'
setsid '$server_bin' --export '$export_dir' --session-file '$work/session.json' -f ${server_options[*]} 2>>'$work/server.log' &
echo \$! >'$work/server.pid'
until [ -s '$work/session.json' ]; do sleep 0.01; done"
for seed in "${seeds[@]}"; do
  rm -rf "$export_dir" "$reference"
  mkdir -m 0777 "$export_dir" "$reference"
  start_server "${server_options[@]}"
  echo "$server_pid" >"$work/server.pid"
  restart=()
  reconnect=
  if [ "$restart_every" -gt 0 ]; then
    restart=(--restart-every "$restart_every" --restart-command "$restart_command")
    reconnect=,reconnect
  fi
  # Caches that time out at once: a change made behind the mount shows at the next look.
  mount_foreground -o allow_other,default_permissions,attr_timeout=0,entry_timeout=0$reconnect
  python3 "$here/differential.py" --mount "$mnt" --export "$export_dir" --reference "$reference" \
    --seed "$seed" --steps "$steps" "${restart[@]}" || fail "the mount and the local directory differ (seed $seed)"
  if [ "$restart_every" -gt 0 ]; then
    reconnects=$(grep -c "orvel: reconnected to the session" "$work/brindle.log")
    [ "$reconnects" -eq $((steps / restart_every)) ] ||
      fail "$reconnects reconnects for $((steps / restart_every)) restarts (seed $seed)"
  fi
  unmount_and_wait
  server_pid=$(cat "$work/server.pid")
  stop_server
done
note=
[ "$restart_every" -gt 0 ] && note=", the server restarted every $restart_every"
[ "${#server_options[@]}" -gt 1 ] && note+=", the server run with ${server_options[*]:1}"
echo "ok: differential, seeds ${seeds[*]}, $steps steps each$note"
