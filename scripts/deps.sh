#!/usr/bin/env bash
# Installs, with apt-get and only when missing, what building qarn needs (`deps.sh build`: the compiler, CMake,
# Ninja and the xxHash header), or what building and testing it needs (no argument), plus any packages named.
set -euo pipefail
build=(cmake ninja-build g++ libxxhash-dev)
tests=(libgtest-dev libbenchmark-dev libssl-dev pkg-config strace file)
if [ "${1:-}" = build ]; then
  shift
  wanted=("${build[@]}" "$@")
else
  wanted=("${build[@]}" "${tests[@]}" "$@")
fi
need=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing ${need[*]}"
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
