#!/usr/bin/env bash
# Installs the Debian packages Korin builds and runs with, when missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
          libbenchmark-dev libfuse3-dev fuse3 fio stress-ng rsync)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
