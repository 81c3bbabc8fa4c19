#!/usr/bin/env bash
# Cross-builds the agent for 64-bit Windows with MinGW-w64:
#   scripts/build-windows.sh OUT
# leaves OUT/zentrad.exe and OUT/zentrad_tests.exe, both statically linked (they import
# nothing but DLLs that ship with Windows), and the shipped files that
# scripts/package-windows.sh makes: zentrad.exe stripped, its symbols in OUT/zentrad.debug,
# and the installer OUT/zentrad.msi. It fails when an executable imports a DLL that Windows
# lacks, names a folder of the build machine, or zentrad.exe lacks its version information
# or manifest.
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

# libcrypto's built-in folders would otherwise be Unix paths, which on Windows name a folder
# on C: that any local user may create (see build-windows-deps.sh).
for exe in zentrad.exe zentrad_tests.exe; do
  if grep -qaE '/usr/local|/usr/lib' "$out/$exe"; then
    echo "build-windows: $exe names a folder of the build machine:" \
      "$(grep -aoE '/usr/(local|lib)[[:alnum:]/_.-]*' "$out/$exe" | sort -u | head -5 | tr '\n' ' ')" >&2
    exit 1
  fi
done

# Inventory tools read the version resource; the manifest declares the Windows versions the
# agent knows (without it the version calls report Windows 8 everywhere).
resources="$(wrestool -l "$out/zentrad.exe")"
# Resource types: 16 is the version information, 24 the manifest.
for type in 16 24; do
  if ! grep -q -- "--type=$type " <<<"$resources"; then
    echo "build-windows: zentrad.exe has no resource of type $type" >&2; exit 1
  fi
done
manifest="$(wrestool -x --raw --type=24 "$out/zentrad.exe")"
for needed in '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' 'longPathAware>true'; do
  if ! grep -q -- "$needed" <<<"$manifest"; then
    echo "build-windows: the manifest lacks $needed" >&2; exit 1
  fi
done
if ! wrestool -x --raw --type=16 "$out/zentrad.exe" | tr -d '\0' | grep -q '2.27.0.11233'; then
  echo "build-windows: the version resource lacks the file version" >&2; exit 1
fi
echo "build-windows: zentrad.exe has its version resource and manifest"

"$root/scripts/package-windows.sh" "$out"
echo "build-windows: dependencies ${deps_seconds} s, total $((SECONDS - started)) s"
