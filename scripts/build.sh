#!/usr/bin/env bash
# Configures and builds one configuration: scripts/build.sh DIR [cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTRAD_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
