#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, as many at once as there are
# cores (each target is one process on one core), and prints the executions each managed:
#   scripts/fuzz.sh BUILD SECONDS
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib.sh"
build="$1"; seconds="${2:-30}"
jobs="${ZENTRAD_FUZZ_JOBS:-$(nproc)}"

# Runs one target and leaves its verdict in BUILD/NAME.result ("ok RUNS" or "failed").
run_target() {
  local name="$1" corpus="$build/corpus/$1" seeds="$root/fuzz/seeds/$1"
  mkdir -p "$corpus"
  local args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  if "$build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
      "${args[@]}" >"$build/$name.log" 2>&1; then
    echo "ok $(grep -a 'stat::number_of_executed_units' "$build/$name.log" | tail -1 | awk '{print $2}')" \
      >"$build/$name.result"
  else
    echo failed >"$build/$name.result"
  fi
}

mapfile -t names < <(fuzz_targets)
running=0
for name in "${names[@]}"; do
  rm -f "$build/$name.result"
  run_target "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
done
wait || true

passed=0; failed=0
for name in "${names[@]}"; do
  read -r verdict runs 2>/dev/null <"$build/$name.result" || verdict=failed
  if [ "$verdict" = ok ]; then
    echo "fuzz $name: no crash in ${seconds}s, ${runs:-?} executions"
    passed=$((passed + 1))
  else
    echo "fuzz $name: FAILED"; tail -40 "$build/$name.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz targets: $passed without a crash, $failed crashed"
[ "$failed" -eq 0 ]
