#!/usr/bin/env bash
# Runs OUT/zentrad_tests.exe (made by scripts/build-windows.sh OUT) under Wine and prints
# its pass, fail and skip counts as "windows-tests: P passed, F failed, S skipped".
# Exits non-zero when a test failed or the executable did not finish.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(cd "$1" && pwd)"
# shellcheck source=scripts/wine-prefix.sh
. "$root/scripts/wine-prefix.sh"
wine_start

log="$out/zentrad_tests.log"
# Output goes through a file, not a pipe: Wine's own processes (the service manager) inherit
# the descriptors and outlive the program.
set +e
(cd "$out" && wine_run ./zentrad_tests.exe --gtest_color=no "${@:2}" >"$log.raw" 2>&1)
status=$?
set -e
tr -d '\r' <"$log.raw" >"$log"
rm -f "$log.raw"
cat "$log"

count() { sed -n "s/^\[  $1 *\] \([0-9]*\) tests\?.*/\1/p" "$log" | head -1; }
passed="$(count PASSED)"; failed="$(count FAILED)"; skipped="$(count SKIPPED)"
passed="${passed:-0}"; failed="${failed:-0}"; skipped="${skipped:-0}"
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
# Wine can report success for a program that crashed (its debugger ends it): without the
# test runner's closing summary the run did not finish, whatever the exit status says.
if ! grep -q '^\[==========\] [0-9]* tests\? from .* ran\.' "$log"; then
  echo "windows-tests: the test executable ended before its summary (crashed?)"
  [ "$failed" -eq 0 ] && failed=1
fi
echo "windows-tests: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
