#!/usr/bin/env bash
# Installs what is needed, builds from scratch and runs the whole test suite: the Windows
# build with its tests and a smoke run of the agent under Wine, the normal build, then the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, and every fuzz target for a bounded time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib.sh"
out="${ZENTRAD_TEST_OUT:-$root/build-test}"
jobs="$(nproc)"
# Most end-to-end tests wait (time-outs, slow snapshots, idle peers) far more than they
# compute, so ctest runs twice as many at once as there are cores.
test_jobs="${ZENTRAD_TEST_JOBS:-$((jobs * 2))}"
started=$SECONDS
# Prints a stage heading with the minutes spent so far, so a slow CI run shows where it went.
stage() { echo "== [$(((SECONDS - started) / 60))m$(((SECONDS - started) % 60))s] $*"; }
summary_passed=0
summary_failed=0

# Runs ctest in a build directory and adds its counts to the summary.
run_ctest() {
  local dir="$1"; shift
  local log="$dir/ctest.log"
  set +e
  (cd "$dir" && ctest -j "$test_jobs" --output-on-failure "$@") 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  set -e
  local line total failed
  line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)"
  total="$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')"
  failed="$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')"
  if [ -n "$line" ]; then
    summary_passed=$((summary_passed + total - failed))
    summary_failed=$((summary_failed + failed))
  fi
  if [ "$status" -ne 0 ]; then
    echo "tests: $summary_passed passed, $((summary_failed > 0 ? summary_failed : 1)) failed"
    exit "$status"
  fi
}

# A sanitizer build has no timings of its own, so ctest would order its queue by the costs
# declared in CMake; the release run's measured ones order it better (slowest first).
reuse_timings() {
  mkdir -p "$1/Testing/Temporary"
  cp "$out/release/Testing/Temporary/CTestCostData.txt" "$1/Testing/Temporary/" 2>/dev/null || true
}

"$root/scripts/setup.sh"
rm -rf "$out"
mkdir -p "$out"

stage "Windows build (MinGW-w64, static) and its tests under Wine"
# The packages are signed with a throwaway certificate, so the signing step runs on every CI
# run; a release build is given the real certificate the same way.
signing="$out/windows-signing"
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=zentrad test signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$signing/key.pem" -out "$signing/cert.pem" \
  2>/dev/null
export ZENTRAD_SIGN_CERT="$signing/cert.pem" ZENTRAD_SIGN_KEY="$signing/key.pem"
if ! "$root/scripts/build-windows.sh" "$out/windows"; then
  echo "tests: 0 passed, 1 failed"
  exit 1
fi
set +e
"$root/scripts/test-windows.sh" "$out/windows" 2>&1 | tee "$out/windows/tests.log"
windows_status=${PIPESTATUS[0]}
set -e
windows_counts="$(grep -E '^windows-tests: ' "$out/windows/tests.log" | tail -1 || true)"
summary_passed=$((summary_passed + $(echo "$windows_counts" | sed -nE 's/.* ([0-9]+) passed.*/\1/p' | grep . || echo 0)))
summary_failed=$((summary_failed + $(echo "$windows_counts" | sed -nE 's/.* ([0-9]+) failed.*/\1/p' | grep . || echo 0)))
if [ "$windows_status" -ne 0 ]; then
  echo "tests: $summary_passed passed, $((summary_failed > 0 ? summary_failed : 1)) failed"
  exit 1
fi
stage "the agent under Wine (smoke run)"
if "$root/scripts/smoke-windows.sh" "$out/windows"; then
  summary_passed=$((summary_passed + 1))
else
  echo "tests: $summary_passed passed, $((summary_failed + 1)) failed"
  exit 1
fi

# The S3 tests' server: a single-node Ceph cluster in this run's folder, started once for
# the release and sanitizer runs and stopped on every way out of this script. Where it cannot
# start, the S3 tests are skipped, and said to be.
ceph_dir="$out/ceph"
stop_ceph() { "$root/scripts/ceph.sh" stop "$ceph_dir" >/dev/null 2>&1 || true; }
trap stop_ceph EXIT
trap 'exit 130' INT TERM
stage "single-node Ceph for the S3 tests"
if "$root/scripts/ceph.sh" start "$ceph_dir"; then
  # shellcheck disable=SC1091
  source "$ceph_dir/s3.env"
else
  s3_skipped="S3 TESTS SKIPPED: Ceph could not start (the reason is above, logs in $ceph_dir/log)"
  echo "== $s3_skipped"
fi

stage "build (release, -Werror)"
"$root/scripts/build.sh" "$out/release"
stage "tests (release)"
run_ctest "$out/release" --timeout 600

stage "build (address and undefined behaviour sanitizers)"
"$root/scripts/build.sh" "$out/asan" -DZENTRAD_SANITIZE=address,undefined -DZENTRAD_BUILD_BENCH=OFF
stage "tests (address and undefined behaviour sanitizers)"
reuse_timings "$out/asan"
run_ctest "$out/asan" --timeout 900

stage "build (thread sanitizer: pipeline, connection and object-store suites only)"
"$root/scripts/build.sh" "$out/tsan" -DZENTRAD_SANITIZE=thread -DZENTRAD_BUILD_BENCH=OFF \
  -- test_yin test_net test_filter test_e2e test_blocks test_objects
if [ -n "$(cd "$out/tsan" && ctest -N -L tsan | grep -E 'Total Tests: [1-9]')" ]; then
  stage "tests (thread sanitizer)"
  reuse_timings "$out/tsan"
  run_ctest "$out/tsan" --timeout 900 -L tsan
fi

if ls "$root"/fuzz/*_fuzzer.cc >/dev/null 2>&1; then
  stage "fuzz targets (bounded time each, one per core at a time)"
  build_fuzz_targets "$out/fuzz"
  if ! "$root/scripts/fuzz.sh" "$out/fuzz" "${ZENTRAD_FUZZ_SECONDS:-20}"; then
    echo "tests: $summary_passed passed, $((summary_failed + 1)) failed"
    exit 1
  fi
fi
stage "done"
if [ -n "${s3_skipped:-}" ]; then echo "$s3_skipped"; fi
echo "tests: $summary_passed passed, $summary_failed failed"
