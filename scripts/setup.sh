#!/usr/bin/env bash
# Installs every Debian package that building, testing, fuzzing and the demo need.
# Idempotent: does nothing when all packages are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libboost-program-options-dev libssl-dev zlib1g-dev libdeflate-dev pigz
  libzstd-dev libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  ntfs-3g fdisk gdisk procps python3 ccache
  ntfs-3g-dev libfuse3-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  libz-mingw-w64-dev wine64 dpkg-dev
  wixl msitools osslsigncode icoutils openssl
  libcurl4-openssl-dev libexpat1-dev curl ceph-mon ceph-osd radosgw ceph-common
  libtomlplusplus-dev python3-jsonschema systemd
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The Windows build compiles some libraries from Debian's source packages, so apt needs a
# deb-src entry for the same mirrors and suites as the deb entries. Written once, when no
# source entry exists yet.
ensure_source_entries() {
  local dir=/etc/apt/sources.list.d
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list "$dir" 2>/dev/null; then
    return 1
  fi
  local stanzas="" lines="" file
  for file in "$dir"/*.sources; do
    [ -f "$file" ] && grep -q 'debian' "$file" || continue
    stanzas+="$(sed -E 's/^Types:.*/Types: deb-src/' "$file")"$'\n\n'
  done
  if [ -f /etc/apt/sources.list ]; then
    lines="$(grep -E '^deb .*debian' /etc/apt/sources.list | sed -E 's/^deb /deb-src /' || true)"
  fi
  if [ -z "$stanzas$lines" ]; then
    echo "setup: no Debian deb entries to mirror as deb-src"
    return 1
  fi
  echo "setup: adding deb-src entries for the Debian mirrors"
  if [ -n "$stanzas" ]; then printf '%s' "$stanzas" | $SUDO tee "$dir/zentrad-src.sources" >/dev/null; fi
  if [ -n "$lines" ]; then printf '%s\n' "$lines" | $SUDO tee "$dir/zentrad-src.list" >/dev/null; fi
}
sources_added=0
if ensure_source_entries; then sources_added=1; fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  if [ "$sources_added" -eq 1 ]; then $SUDO apt-get update; fi
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
