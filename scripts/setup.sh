#!/usr/bin/env bash
# Installs every Debian package that building, testing, fuzzing and the demo need.
# Idempotent: does nothing when all packages are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libboost-program-options-dev libssl-dev zlib1g-dev
  libzstd-dev libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  ntfs-3g fdisk procps python3 ccache
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
