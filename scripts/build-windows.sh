#!/usr/bin/env bash
# Cross-builds the agent for 64-bit Windows with MinGW-w64:
#   scripts/build-windows.sh OUT
# leaves OUT/zentrad.exe and OUT/zentrad_tests.exe, both statically linked (they import
# nothing but DLLs that ship with Windows).
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -ne 1 ]; then echo "usage: $0 OUT" >&2; exit 2; fi
mkdir -p "$1"
out="$(cd "$1" && pwd)"
started=$SECONDS

"$root/scripts/setup.sh"
settings="$("$root/scripts/build-windows-deps.sh" "$out/dependencies")"
deps_seconds=$((SECONDS - started))

"$root/scripts/build.sh" "$out/build" -C "$settings" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DZENTRAD_BUILD_BENCH=OFF \
  -- zentrad zentrad_tests
cp "$out/build/src/agent/zentrad.exe" "$out/build/tests/win32/zentrad_tests.exe" "$out/"

# Only DLLs that every Windows installation has may be imported: a MinGW runtime DLL
# (libstdc++, libgcc, winpthread) or a library's DLL would be missing on a real server.
system_dlls='^(kernel32|advapi32|msvcrt|ws2_32|ole32|oleaut32|vssapi|user32|crypt32|bcrypt|shell32|rpcrt4)\.dll$'
for exe in zentrad.exe zentrad_tests.exe; do
  imports="$(x86_64-w64-mingw32-objdump -p "$out/$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')"
  foreign="$(echo "$imports" | grep -vE "$system_dlls" || true)"
  if [ -n "$foreign" ]; then
    echo "build-windows: $exe imports non-system DLLs: $(echo $foreign)" >&2
    exit 1
  fi
  echo "build-windows: $exe imports $(echo $imports)"
done
echo "build-windows: dependencies ${deps_seconds} s, total $((SECONDS - started)) s"
