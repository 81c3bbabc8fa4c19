#!/usr/bin/env bash
# Makes the shipped files from a Windows build (scripts/build-windows.sh OUT runs it):
#   scripts/package-windows.sh OUT
# OUT/zentrad.exe is stripped, its symbols kept in OUT/zentrad.debug (linked from the exe
# by name, for debuggers); both executables are signed when a certificate is given; and
# OUT/zentrad.msi is built from packaging/windows/zentrad.wxs with wixl.
#
# Signing (Authenticode, osslsigncode): ZENTRAD_SIGN_CERT (PEM certificate chain) and
# ZENTRAD_SIGN_KEY (PEM private key); ZENTRAD_SIGN_TIMESTAMP optionally names a timestamp
# server. Without them nothing is signed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(cd "$1" && pwd)"
host=x86_64-w64-mingw32
version=2.27.0.11233

# Symbols and debugging sections go to their own file; the exe keeps only a link to it.
"$host-objcopy" --only-keep-debug "$out/zentrad.exe" "$out/zentrad.debug"
"$host-strip" --strip-all "$out/zentrad.exe"
(cd "$out" && "$host-objcopy" --add-gnu-debuglink=zentrad.debug zentrad.exe)
symbols="$("$host-nm" "$out/zentrad.exe" 2>/dev/null | wc -l || true)"
echo "package-windows: zentrad.exe $(stat -c %s "$out/zentrad.exe") bytes, $symbols symbols;" \
  "zentrad.debug $(stat -c %s "$out/zentrad.debug") bytes"

sign() {  # sign FILE: replaces FILE by its signed copy
  local file="$1" options=()
  if [ -n "${ZENTRAD_SIGN_TIMESTAMP:-}" ]; then options+=(-t "$ZENTRAD_SIGN_TIMESTAMP"); fi
  osslsigncode sign -certs "$ZENTRAD_SIGN_CERT" -key "$ZENTRAD_SIGN_KEY" -h sha256 \
    -n "Kelvane Backup Agent" "${options[@]}" -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
  # The signature must verify against the certificate it was made with.
  if ! osslsigncode verify -CAfile "$ZENTRAD_SIGN_CERT" -in "$file" >"$out/signing.log" 2>&1; then
    cat "$out/signing.log" >&2
    echo "package-windows: the signature of $(basename "$file") does not verify" >&2
    exit 1
  fi
  echo "package-windows: signed $(basename "$file") (verified)"
}
signing=no
if [ -n "${ZENTRAD_SIGN_CERT:-}" ] && [ -n "${ZENTRAD_SIGN_KEY:-}" ]; then signing=yes; fi
if [ "$signing" = yes ]; then sign "$out/zentrad.exe"; fi

# wixl finds the sources relative to the working directory.
stage="$out/msi"
rm -rf "$stage"; mkdir -p "$stage"
cp "$out/zentrad.exe" "$stage/"
cp "$root/packaging/windows/zentrad.wxs" "$stage/"
(cd "$stage" && wixl --arch x64 -D Version="$version" -D Executable=zentrad.exe \
  -o "$out/zentrad.msi" zentrad.wxs)
rm -rf "$stage"
if [ "$signing" = yes ]; then sign "$out/zentrad.msi"; fi
echo "package-windows: zentrad.msi $(stat -c %s "$out/zentrad.msi") bytes"
