#!/usr/bin/env bash
# Installs the Debian packages qorda builds and tests with. Idempotent; uses sudo when not root.
# scripts/deps.sh --check only lists the missing ones (exit 1 when there are any).
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
      libsqlite3-dev libc-ares-dev libssl-dev googletest libgtest-dev
      qt6-base-dev qt6-qpa-plugins
      curl lftp wget python3 openssl)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "${1:-}" = --check ]; then
  echo "missing packages: ${missing[*]}"
  exit 1
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
