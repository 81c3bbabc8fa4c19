#!/usr/bin/env bash
# Compiles the Windows side of the platform seam (src/platform/win32) with MinGW-w64, so
# code that only runs on Windows is at least checked for errors on every change.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
compiler=x86_64-w64-mingw32-g++-posix
if ! command -v "$compiler" >/dev/null; then
  echo "check-windows: $compiler not installed"; exit 1
fi
failed=0; checked=0
for source in "$root"/src/platform/win32/*.cc "$root"/src/platform/win32/*/*.cc; do
  [ -f "$source" ] || continue
  checked=$((checked + 1))
  if ! "$compiler" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -DUNICODE -D_UNICODE \
      -I"$root/src" "$source"; then
    echo "check-windows: $source does not compile"; failed=$((failed + 1))
  fi
done
echo "check-windows: $checked files checked, $failed failed"
[ "$failed" -eq 0 ]
