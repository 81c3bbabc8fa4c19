#!/usr/bin/env bash
# Configures and builds one configuration:
#   scripts/build.sh DIR [cmake options...] [-- targets...]   (all targets when none are named)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
options=(); targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
  options+=("$1"); shift
done
set -- "${options[@]}"
# Release builds optimise fully; sanitizer builds (which pass ZENTRAD_SANITIZE) use -O1 with
# line tables, enough for readable reports at a fraction of the compile time.
type=Release
for argument in "$@"; do
  case "$argument" in -DZENTRAD_SANITIZE=?*) type=Sanitize ;; esac
done
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -g1" \
  -DCMAKE_C_FLAGS_SANITIZE="-O1 -g1" -DZENTRAD_WERROR=ON "$@" >/dev/null
if [ ${#targets[@]} -gt 0 ]; then
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
else
  cmake --build "$dir" -j "$(nproc)"
fi
