#!/usr/bin/env bash
# Configures and builds one configuration: scripts/build.sh DIR [cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
# Release builds optimise fully; sanitizer builds (which pass ZENTRAD_SANITIZE) use -O1 with
# line tables, enough for readable reports at a fraction of the compile time.
type=Release
for argument in "$@"; do
  case "$argument" in -DZENTRAD_SANITIZE=?*) type=Sanitize ;; esac
done
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -g1" \
  -DCMAKE_C_FLAGS_SANITIZE="-O1 -g1" -DZENTRAD_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
