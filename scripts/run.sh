#!/usr/bin/env bash
# Builds Korin (release build in build/), starts korin-host for the default
# home in the background when it is not running yet, installs and starts the
# driver service (korin setup) and says how to reach the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORIN_TESTS=OFF -DKORIN_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"
echo "Korin is built in build/bin."

home=${KORIN_HOME:-$HOME/.local/share/korin}
bin=build/bin
# A running host holds an flock on its pid file for its whole life.
if [ -e "$home/korin-host.pid" ] && ! flock -n "$home/korin-host.pid" true; then
  echo "korin-host is already running for $home (pid $(cat "$home/korin-host.pid"))."
else
  "$bin/korin-host" --home "$home"
  echo "korin-host started for $home; its log is $home/korin-host.log."
fi

if [ -x "$bin/korin" ]; then
  KORIN_HOME="$home" "$bin/korin" setup
fi

mount_root="$home/mnt"
echo
echo "Syscall socket: $home/korin-host.sock"
echo "Registry:       $home/registry.db"
echo "Mount root:     $mount_root (each virtual drive X: appears at $mount_root/X)"
if [ -x "$bin/korin" ]; then
  echo "Try:            $bin/korin --help"
fi
echo "Stop it with:   kill \$(cat $home/korin-host.pid)"
