#!/usr/bin/env bash
# Store growth benchmark. bench/backup.sh builds the emulated NTFS volume (half compressible
# text, half random bytes) and stores a full backup, an incremental after 1% of the used
# clusters changed (random bytes, in runs of 64 clusters) and digest-compared backups with
# nothing changed; nine more rounds of the same 1% change and an incremental follow here,
# so the store holds a full and ten 1% incrementals. Reports, from the points' own counts
# (`points --json`), the bytes each point stored against the bytes the agent sent for it,
# the ten incrementals' sums (target: stored at most 3 times sent), the store's size on
# disk against the volume's used data, and the plain restore rate from the latest point
# (two turns, each checked by the files read back).
#
#   bench/store.sh [BUILD] [SIZE_MIB] [USED_PERCENT]     (defaults: build 1024 50)
# BUILD must hold what bench/backup.sh needs. ZENTRAD_BENCH_KEEP=1 keeps the work folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib.sh"
build="${1:-$root/build}"; size_mib="${2:-1024}"; used_pct="${3:-50}"
export PATH="$PATH:/usr/sbin:/sbin"

echo "== set-up: bench/backup.sh $size_mib MiB, ${used_pct}% used; load $(cut -d' ' -f1-3 /proc/loadavg)"
setup="$(ZENTRAD_BENCH_KEEP=1 "$root/bench/backup.sh" "$build" "$size_mib" "$used_pct" 1)"
work="$(echo "$setup" | sed -n 's/^kept //p')"
[ -d "$work" ] || { echo "bench/backup.sh kept no work folder" >&2; exit 1; }
agent_pid=""; keep_work="${ZENTRAD_BENCH_KEEP:-}"
trap cleanup EXIT

disk="$work/host/disks/0.img"
port="$(awk '/LocalPort/ { print $3 }' "$work/agent/config/zentrad.conf")"
quiet_hostsim=1
mib() { awk -v b="$1" 'BEGIN { printf "%.2f MiB", b / 1048576 }'; }
files_digest() {
  dd if="$disk" of="$work/restored.img" bs=1M skip=1 count="$size_mib" status=none
  for name in /text.txt /random.bin; do ntfscat -f "$work/restored.img" "$name" | md5sum; done
  rm -f "$work/restored.img"
}

ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" \
  ZENTRAD_STATUS_PORT=$((port + 1)) "$build/src/agent/zentrad" >"$work/store-agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do grep -q "Listening" "$work/store-agent.out" 2>/dev/null && break; sleep 0.1; done

# The same change as bench/backup.sh's incremental: its runs of 64 clusters, new random bytes.
for round in $(seq 2 10); do
  while read -r cluster; do hostsim write 0:0 --cluster "$cluster" --count 64 --random; done <"$work/runs"
  server backup "Disk 0 Partition 0" "$work/store" compression=1 level=1 encryption=1 \
    checksums=1 >/dev/null
done

echo "== the store's points (bytes the agent sent / bytes stored, per point)"
server --json points "$work/store" | python3 -c '
import json, sys
points = json.load(sys.stdin)
points = points.get("points", points) if isinstance(points, dict) else points
increments = [p for p in points if p["kind"] == "incremental"]
for p in points:
    print("   %-16s sent %12d  stored %12d" % (p["kind"], p["wire_bytes"], p["stored_bytes"]))
full = [p for p in points if p["kind"] == "full"][0]
used = full["used_blocks"] * full["block_size"]
sent = sum(p["wire_bytes"] for p in increments)
stored = sum(p["stored_bytes"] for p in increments)
mib = lambda b: b / 1048576
print("volume used data: %.2f MiB; full: sent %.2f MiB, stored %.2f MiB (%.2f of used)" %
      (mib(used), mib(full["wire_bytes"]), mib(full["stored_bytes"]), full["stored_bytes"] / used))
print("%d incrementals: sent %.2f MiB, stored %.2f MiB: stored / sent %.2f (target <= 3), "
      "%.2f%% of used data each" % (len(increments), mib(sent), mib(stored), stored / sent,
                                  100 * stored / len(increments) / used))
'
echo "store on disk: $(mib "$(du -s -B1 "$work/store" | cut -f1)"), chunk files: $(find "$work/store/chunks" -type f | wc -l)"

expected="$(files_digest)"
for turn in 1 2; do
  wipe
  echo "   turn $turn, latest point: $(server restore "Disk 0 Partition 0" "$work/store" \
    compression=0 encryption=0 | grep -E "^restored") (load $(cut -d' ' -f1 /proc/loadavg))"
  [ "$(files_digest)" = "$expected" ] || { echo "   MISMATCH after the restore" >&2; exit 1; }
done
echo "   every restore read back the volume's files"
