#!/usr/bin/env bash
# Volume backup benchmark: an emulated NTFS volume of SIZE with a share of used clusters
# (half compressible text, half random bytes) is backed up by the real agent through the
# backup server: full, incremental after 1% of the used clusters changed, and digest
# compared after the change-tracking driver lost its history. Reports MB/s of used data,
# blocks sent, the agent's peak resident memory, and in the same run the stages alone
# (read with MD5, deflate, Blowfish-CBC) and ntfsclone | gzip -1 on the same volume.
#
#   bench/backup.sh [BUILD] [SIZE_MIB] [USED_PERCENT] [LEVEL]     (defaults: build 2048 50 1)
# BUILD must hold zentrad, hostsim and backup-server; blocks_bench is used when present.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"; size_mib="${2:-2048}"; used_pct="${3:-50}"; level="${4:-1}"
export PATH="$PATH:/usr/sbin:/sbin"
work="$(mktemp -d /tmp/zentrad-bench.XXXXXX)"
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  wait 2>/dev/null || true
  if [ -n "${ZENTRAD_BENCH_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
hostsim() { "$build/tools/hostsim/hostsim" --root "$work/host" "$@" >/dev/null; }
server() { "$build/tools/backup-server/backup-server" --keys "$work/keys" --port "$port" "$@"; }
seconds() { date +%s.%N; }
rate() { awk -v b="$1" -v s="$2" -v e="$3" 'BEGIN { printf "%.1f MB/s", b / 1048576 / (e - s) }'; }

echo "== volume: ${size_mib} MiB, ${used_pct}% used (half compressible, half random)"
hostsim init; hostsim driver-install
hostsim add-disk --size "$((size_mib + 2))M" --part "size=${size_mib}M,type=7"
hostsim mkfs 0:0
data_mib=$((size_mib * used_pct / 100 / 2))
python3 - "$work/text" "$data_mib" <<'PY'
import sys, random
random.seed(1)
words = [''.join(random.choice('abcdefghijklmnop') for _ in range(random.randint(2, 9))) for _ in range(2000)]
with open(sys.argv[1], 'w') as out:
    total, limit = 0, int(sys.argv[2]) << 20
    while total < limit:
        line = ' '.join(random.choice(words) for _ in range(12)) + '\n'
        out.write(line); total += len(line)
PY
head -c "$((data_mib << 20))" /dev/urandom >"$work/random"
hostsim put 0:0 "$work/text" /text.txt
hostsim put 0:0 "$work/random" /random.bin
rm -f "$work/text" "$work/random"

port=$((20000 + RANDOM % 20000))
mkdir -p "$work/agent/config/server.allow"
server public-key >"$work/agent/config/server.allow/bench"
printf 'LocalPort = %s\nTimeout = 60\nIPAuthentication = false\n' "$port" >"$work/agent/config/zentrad.conf"
ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" \
  ZENTRAD_STATUS_PORT=$((port + 1)) "$build/src/agent/zentrad" >"$work/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do grep -q "Listening" "$work/agent.out" 2>/dev/null && break; sleep 0.1; done
head -c 8192 /dev/urandom >"$work/small"
hostsim put 0:0 "$work/small" /after-start.bin   # a write after start: the driver knows the volume

run_backup() {
  echo "== $1 backup"
  server backup "Disk 0 Partition 0" "$work/store" compression=1 "level=$level" encryption=1 \
    checksums=1 | grep -E "^(full|incremental|digest-compared):"
}
run_backup full
# 1% of the used clusters, in runs of 64 inside the two data files (never metadata).
dd if="$work/host/disks/0.img" of="$work/volume.img" bs=1M skip=1 count="$size_mib" status=none
ntfscat -f "$work/volume.img" '$Bitmap' >"$work/bitmap"
{ ntfsinfo -v -f "$work/volume.img" -F /random.bin; ntfsinfo -v -f "$work/volume.img" -F /text.txt; } \
  2>/dev/null | python3 -c '
import sys
bits = open(sys.argv[1], "rb").read()
used = sum(bin(b).count("1") for b in bits)
clusters = []
for line in sys.stdin:
    words = line.split()
    if len(words) == 3 and all(w.startswith("0x") for w in words):
        lcn, length = int(words[1], 16), int(words[2], 16)
        clusters += range(lcn, lcn + length - 63, 64)
wanted = max(1, used // 100 // 64)
step = max(1, len(clusters) // wanted)
for c in clusters[::step][:wanted]:
    print(c)
' "$work/bitmap" >"$work/runs"
while read -r cluster; do hostsim write 0:0 --cluster "$cluster" --count 64 --random; done <"$work/runs"
run_backup incremental
hostsim driver-reset
run_backup digest-compared
echo "== agent peak resident memory: $(awk '/VmHWM/ { print $2, $3 }' /proc/$agent_pid/status)"

echo "== stages alone and reference tools on the same volume"
dd if="$work/host/disks/0.img" of="$work/volume.img" bs=1M skip=1 count="$size_mib" status=none
start=$(seconds); md5sum "$work/volume.img" >/dev/null; end=$(seconds)
echo "read with MD5 (whole volume, md5sum): $(rate $((size_mib << 20)) "$start" "$end")"
if [ -x "$build/bench/blocks_bench" ]; then
  "$build/bench/blocks_bench" --benchmark_filter="deflateBlock/$level|encryptBlock|digestBlock" \
    --benchmark_counters_tabular=true 2>/dev/null | grep -E "Block"
fi
start=$(seconds)
ntfsclone --save-image -o - "$work/volume.img" 2>/dev/null | gzip -1 >"$work/clone.gz"
end=$(seconds)
used_bytes=$(ntfsinfo -m -f "$work/volume.img" 2>/dev/null | awk '/Cluster Size/ { c = $3 } /Volume Size in Clusters/ { n = $5 } /Free Clusters/ { f = $3 } END { print (n - f) * c }')
echo "ntfsclone --save-image | gzip -1: $(rate "${used_bytes:-0}" "$start" "$end") of used data, $(stat -c %s "$work/clone.gz") bytes"
