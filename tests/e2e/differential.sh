#!/usr/bin/env bash
# Runs the differential test (differential.py) on a mount of a fresh brindle-server export and on
# a plain directory, both on one tmpfs, for a fixed set of seeds, or for the seed and length given.
# With --restart-every K the server is killed and started again every K steps, under -o reconnect;
# --without-extension NAME starts the server withholding that extension. With --two-clients the
# steps take turns on two mounts of the server that cache names and attributes for a minute, so
# that only the server's change notices can show one client's changes, or one made on the export
# directly, on the other.
# Usage: differential.sh BRINDLE BRINDLE_SERVER [--seed N]... [--steps M] [--restart-every K]
#   [--without-extension NAME]... [--two-clients]
set -uo pipefail

brindle=$(realpath "$1")
server_bin=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/mount_fixture.sh"

seeds=(1 2 3 4 5 6)
seeds_given=
steps=4000
restart_every=0
two_clients=
server_options=(--namedattr)
while [ $# -gt 0 ]; do
  case $1 in
    --seed) [ -n "$seeds_given" ] || seeds=(); seeds_given=1; seeds+=("$2"); shift 2 ;;
    --steps) steps=$2; shift 2 ;;
    --restart-every) restart_every=$2; shift 2 ;;
    --without-extension) server_options+=(--without-extension "$2"); shift 2 ;;
    --two-clients) two_clients=1; shift ;;
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
  second=()
  if [ -n "$two_clients" ]; then
    mount_foreground -o allow_other,default_permissions,attr_timeout=60,entry_timeout=60
    mount_second -o allow_other,default_permissions,attr_timeout=60,entry_timeout=60
    second=(--second-mount "$second_mnt")
  else
    # Caches that time out at once: a change made behind the mount shows at the next look.
    mount_foreground -o allow_other,default_permissions,attr_timeout=0,entry_timeout=0$reconnect
  fi
  python3 "$here/differential.py" --mount "$mnt" --export "$export_dir" --reference "$reference" \
    --seed "$seed" --steps "$steps" "${restart[@]}" "${second[@]}" ||
    fail "the mount and the local directory differ (seed $seed)"
  if [ "$restart_every" -gt 0 ]; then
    reconnects=$(grep -c "orvel: reconnected to the session" "$work/brindle.log")
    [ "$reconnects" -eq $((steps / restart_every)) ] ||
      fail "$reconnects reconnects for $((steps / restart_every)) restarts (seed $seed)"
  fi
  [ -n "$two_clients" ] && unmount_second_and_wait
  unmount_and_wait
  server_pid=$(cat "$work/server.pid")
  stop_server
done
note=
[ "$restart_every" -gt 0 ] && note=", the server restarted every $restart_every"
[ -n "$two_clients" ] && note+=", on two mounts in turns"
[ "${#server_options[@]}" -gt 1 ] && note+=", the server run with ${server_options[*]:1}"
echo "ok: differential, seeds ${seeds[*]}, $steps steps each$note"
