#!/usr/bin/env bash
# Raw put and get throughput of the blob stores, a local folder against the S3 API of a
# single-node Ceph started for the run (scripts/ceph.sh), same run, same machine:
#   bench/objects.sh BUILD          (BUILD holds bench/objects_bench)
# The folder store writes under ZENTRAD_BENCH_FOLDER (default /var/tmp) and syncs after each
# round of 16 objects; Ceph keeps its device in a file under the same folder. The load
# average before and after is printed: on a shared machine it decides the figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
work="$(mktemp -d "${ZENTRAD_BENCH_FOLDER:-/var/tmp}/zentrad-objects-bench.XXXXXX")"
cleanup() {
  "$root/scripts/ceph.sh" stop "$work/ceph" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
"$root/scripts/ceph.sh" start "$work/ceph"
# shellcheck disable=SC1091
source "$work/ceph/s3.env"
ZENTRAD_BENCH_FOLDER="$work" "$build/bench/objects_bench" --benchmark_counters_tabular=true
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
