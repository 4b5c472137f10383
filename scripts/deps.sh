#!/usr/bin/env bash
# Installs, with apt-get and only when missing, what building and testing qarn needs.
set -euo pipefail
need=()
for pkg in cmake ninja-build g++ libgtest-dev libbenchmark-dev libssl-dev pkg-config strace "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing ${need[*]}"
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
