#!/usr/bin/env bash
# Cross-compiles the libraries the Windows build links statically and prints the path of a
# CMake initial-cache file that points the build at them:
#   scripts/build-windows-deps.sh WORKDIR
# libcrypto comes from Debian's openssl source package, Boost.Program_options from boost1.74's,
# GoogleTest from the googletest package's sources; zlib is Debian's MinGW package. Each
# library is kept in a cache outside the work tree, keyed by its version, so later runs on the
# same machine reuse it; without the cache (or when it is not writable) everything is built
# below WORKDIR instead.
set -euo pipefail
shopt -s inherit_errexit
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mkdir -p "$1" && cd "$1" && pwd)"
host=x86_64-w64-mingw32
jobs="$(nproc)"
toolchain="$root/cmake/mingw-w64.cmake"

cache="${ZENTRAD_MINGW_CACHE:-/var/cache/zentrad/mingw}"
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then cache="$work/cache"; fi
mkdir -p "$cache" "$work/src"

log() { echo "windows-deps: [$((SECONDS))s] $*" >&2; }

# Versions of a source package that apt knows, newest first.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vr | uniq
}

# Fetches and unpacks one version of a source package into $work/src, trying the versions
# newest first (a suite's index can name a version whose files the mirror no longer has).
# Prints "VERSION DIRECTORY".
fetch_source() {
  local package="$1" version dir
  for version in $(source_versions "$package"); do
    rm -rf "$work/src/$package"; mkdir -p "$work/src/$package"
    if (cd "$work/src/$package" && apt-get source -q "$package=$version" >&2); then
      dir="$(find "$work/src/$package" -mindepth 1 -maxdepth 1 -type d | head -1)"
      echo "$version $dir"; return 0
    fi
    log "$package $version could not be fetched, trying an older version"
  done
  log "no source of $package could be fetched (is there a deb-src entry? run scripts/setup.sh)"
  return 1
}

# Returns the cached build of a package whose version apt offers, if there is one.
cached() {
  local name="$1" package="$2" version suffix="${3:-}"
  for version in $(source_versions "$package"); do
    if [ -f "$cache/$name-$version$suffix/.complete" ]; then echo "$cache/$name-$version$suffix"; return 0; fi
  done
  return 1
}

# What the agent uses of libcrypto: RSA with PEM and PKCS#8 encoding, Blowfish, AES, MD5,
# SHA-1 and the random generator. The algorithms and protocols it never touches are left out,
# which shortens the build. A change to this list must change the recipe name, which
# keys the cached build.
openssl_recipe=r2
openssl_options=(no-shared no-module no-tests no-engine no-comp no-ocsp no-ts no-cms no-ct
  no-srp no-srtp no-cmp no-rfc3779 no-sm2 no-sm3 no-sm4 no-idea no-seed no-camellia no-aria
  no-whirlpool no-mdc2 no-rmd160 no-siphash no-blake2 no-poly1305 no-chacha no-scrypt no-ec
  no-dsa no-dh no-dgram no-sock)

# The folders libcrypto would look in for its configuration file, engines and provider
# modules. The build's defaults are Unix paths (/usr/local/ssl, /usr/local/lib64/...), which
# on Windows mean C:\usr\local\..., a folder any local user may create; a configuration
# planted there could name a library for the LocalSystem service to load. The agent reads no
# configuration at all, and these point into the system folder, which only administrators
# can change. Part of the recipe: a change here must change openssl_recipe.
openssl_folders=(OPENSSLDIR=C:/Windows/System32/zentrad-openssl
  ENGINESDIR=C:/Windows/System32/zentrad-openssl/engines
  MODULESDIR=C:/Windows/System32/zentrad-openssl/modules)

build_openssl() {
  local found fetched version dir out
  if found="$(cached openssl openssl "-$openssl_recipe")"; then log "openssl from $found"; echo "$found"; return; fi
  fetched="$(fetch_source openssl)"; read -r version dir <<<"$fetched"
  out="$cache/openssl-$version-$openssl_recipe"
  log "building libcrypto $version"
  # no-module: the legacy provider (Blowfish) is compiled into libcrypto instead of being a
  # module loaded from disk, which a single static executable could not find.
  (cd "$dir" && ./Configure mingw64 "${openssl_options[@]}" --cross-compile-prefix="$host-" >&2 &&
    make -j"$jobs" "${openssl_folders[@]}" build_generated >&2 &&
    make -j"$jobs" "${openssl_folders[@]}" libcrypto.a >&2)
  rm -rf "$out"; mkdir -p "$out/include" "$out/lib"
  cp -r "$dir/include/openssl" "$out/include/"
  cp "$dir/libcrypto.a" "$out/lib/"
  touch "$out/.complete"; echo "$out"
}

build_boost() {
  local found fetched version dir out
  if found="$(cached boost boost1.74)"; then log "boost from $found"; echo "$found"; return; fi
  fetched="$(fetch_source boost1.74)"; read -r version dir <<<"$fetched"
  out="$cache/boost-$version"
  log "building Boost.Program_options $version"
  rm -rf "$out" "$work/boost-obj"; mkdir -p "$out/include/boost" "$out/lib" "$work/boost-obj"
  # The source package keeps each library's headers in libs/NAME/include; the build and the
  # agent see them merged into one tree, as an installed Boost has them.
  local include
  for include in "$dir"/libs/*/include "$dir"/libs/numeric/*/include; do
    [ -d "$include/boost" ] && cp -r "$include/boost/." "$out/include/boost/"
  done
  local sources=("$dir"/libs/program_options/src/*.cpp)
  printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -I{} sh -c \
    '"$0" -std=c++20 -O2 -DNDEBUG -DBOOST_ALL_NO_LIB -I"$1" -c "{}" -o "$2/$(basename "{}" .cpp).o"' \
    "$host-g++-posix" "$out/include" "$work/boost-obj"
  "$host-ar" rcs "$out/lib/libboost_program_options.a" "$work"/boost-obj/*.o
  touch "$out/.complete"; echo "$out"
}

build_googletest() {
  local found fetched version dir out
  if found="$(cached googletest googletest)"; then log "googletest from $found"; echo "$found"; return; fi
  fetched="$(fetch_source googletest)"; read -r version dir <<<"$fetched"
  out="$cache/googletest-$version"
  log "building GoogleTest $version"
  rm -rf "$out" "$work/googletest-build"
  cmake -S "$dir" -B "$work/googletest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$out" -DBUILD_SHARED_LIBS=OFF >&2
  cmake --build "$work/googletest-build" -j "$jobs" --target install >&2
  touch "$out/.complete"; echo "$out"
}

# zlib: the static library of Debian's MinGW package (libz.a; libz.dll.a would need a DLL).
zlib="/usr/$host"
if [ ! -f "$zlib/lib/libz.a" ]; then log "libz-mingw-w64-dev is missing"; exit 1; fi

started=$SECONDS
openssl="$(build_openssl)"
boost="$(build_boost)"
googletest="$(build_googletest)"
settings="$work/dependencies.cmake"
cat >"$settings" <<EOF
set(ZENTRAD_DEPENDENCY_ROOTS "$openssl;$boost;$googletest" CACHE STRING "")
set(OPENSSL_ROOT_DIR "$openssl" CACHE PATH "")
set(OPENSSL_USE_STATIC_LIBS ON CACHE BOOL "")
set(BOOST_ROOT "$boost" CACHE PATH "")
set(Boost_NO_SYSTEM_PATHS ON CACHE BOOL "")
set(Boost_USE_STATIC_LIBS ON CACHE BOOL "")
set(GTest_DIR "$googletest/lib/cmake/GTest" CACHE PATH "")
set(ZLIB_INCLUDE_DIR "$zlib/include" CACHE PATH "")
set(ZLIB_LIBRARY "$zlib/lib/libz.a" CACHE FILEPATH "")
EOF
log "dependencies ready in $((SECONDS - started)) s"
echo "$settings"
