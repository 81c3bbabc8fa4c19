#!/usr/bin/env bash
# Runs the reliability checks at full length and writes docs/RELIABILITY.md from the run:
#   scripts/reliability.sh [--cycles N] [--load-seconds S] [--fuzz-seconds S] [--points N]
# (defaults: 30 soak cycles, 30 s of load, 60 s per fuzz target, 200 points of the
# change-tracking soak). Builds what it runs: the
# release tests, and the fuzz targets with clang. The document is only ever written by this
# script; its figures are those of the last run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib.sh"
cycles=30; load_seconds=30; fuzz_seconds=60; points=200
while [ $# -gt 0 ]; do
  case "$1" in
    --cycles) cycles="$2"; shift 2 ;;
    --load-seconds) load_seconds="$2"; shift 2 ;;
    --fuzz-seconds) fuzz_seconds="$2"; shift 2 ;;
    --points) points="$2"; shift 2 ;;
    *) echo "usage: $0 [--cycles N] [--load-seconds S] [--fuzz-seconds S] [--points N]" >&2
       exit 2 ;;
  esac
done
out="${ZENTRAD_RELIABILITY_OUT:-$root/build/reliability}"
mkdir -p "$out"
git -C "$root" rev-parse --short HEAD >"$out/commit" 2>/dev/null || echo unknown >"$out/commit"

suites='StalledServerTest.*:HostileFaultTest.*:DeviceFaultTest.*:ServerErrorTest.*:LoadSoakTest.*'
suites+=':TrackingSoakTest.*'
suites+=':BackupTest.ReadErrorsFailTheBackupAndTheNextBackupSendsTheBlocks'
units='BlockLoadTest.*:RestorePartitionTest.*:SocketTest.*:AllowDirectoriesTest.*'
units+=':PreAuthLogTest.*:KeyStoreTest.*:ConnectionLimitTest.*'

echo "== build (release)"
"$root/scripts/build.sh" "$root/build/release" -- test_e2e test_blocks test_net test_crypto \
  test_agent zentrad backup-server hostsim
echo "== unit and end-to-end reliability tests ($cycles soak cycles, ${load_seconds}s of load)"
: >"$out/tests.log"
status=0
for binary in tests/test_blocks tests/test_net tests/test_crypto tests/test_agent; do
  "$root/build/release/$binary" --gtest_filter="$units" >>"$out/tests.log" 2>&1 || status=1
done
ZENTRAD_SOAK_CYCLES="$cycles" ZENTRAD_LOAD_SECONDS="$load_seconds" ZENTRAD_TRACKING_POINTS="$points" \
  "$root/build/release/tests/e2e/test_e2e" --gtest_filter="$suites" >>"$out/tests.log" 2>&1 ||
  status=1

echo "== fuzz targets (${fuzz_seconds}s each)"
build_fuzz_targets "$root/build/fuzz" >"$out/fuzz-build.log" 2>&1
"$root/scripts/fuzz.sh" "$root/build/fuzz" "$fuzz_seconds" | tee "$out/fuzz.log" || status=1

"$root/scripts/reliability-report.sh" "$out" "$cycles" "$load_seconds" "$fuzz_seconds" \
  >"$root/docs/RELIABILITY.md"
echo "wrote docs/RELIABILITY.md"
grep -E '^\[  (PASSED|FAILED)  \]' "$out/tests.log" || true
exit "$status"
