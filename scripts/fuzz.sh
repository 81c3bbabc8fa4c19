#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time and prints the executions each
# managed: scripts/fuzz.sh BUILD SECONDS
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"; seconds="${2:-30}"
passed=0; failed=0
for source in "$root"/fuzz/*_fuzzer.cc; do
  name="$(basename "$source" .cc)"
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/seeds/$name"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  if "$build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
      "${args[@]}" >"$build/$name.log" 2>&1; then
    runs="$(grep -a 'stat::number_of_executed_units' "$build/$name.log" | tail -1 | awk '{print $2}')"
    echo "fuzz $name: no crash in ${seconds}s, ${runs:-?} executions"
    passed=$((passed + 1))
  else
    echo "fuzz $name: FAILED"; tail -40 "$build/$name.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz targets: $passed without a crash, $failed crashed"
[ "$failed" -eq 0 ]
