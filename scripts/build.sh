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
# A compiler cache outside the work tree makes rebuilds on the same machine cheap; the build
# never depends on it being there.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR="${CCACHE_DIR:-/var/cache/zentrad/ccache}"
  export CCACHE_BASEDIR="$root"
  export CCACHE_SLOPPINESS="pch_defines,time_macros,include_file_mtime,include_file_ctime"
  export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"
  if mkdir -p "$CCACHE_DIR" 2>/dev/null && [ -w "$CCACHE_DIR" ]; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
fi
cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_FLAGS_SANITIZE="-O1 -g1" \
  -DCMAKE_C_FLAGS_SANITIZE="-O1 -g1" -DZENTRAD_WERROR=ON "$@" >/dev/null
if [ ${#targets[@]} -gt 0 ]; then
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
else
  cmake --build "$dir" -j "$(nproc)"
fi
