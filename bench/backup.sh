#!/usr/bin/env bash
# Volume backup benchmark: an emulated NTFS volume of SIZE with a share of used clusters
# (half compressible text, half random bytes) is backed up by the real agent through the
# backup server, all in one run on the same volume:
#   - full backups with Blowfish at levels 1 and 6 into the sink (sink=1: checked, not
#     stored), with one worker per stage (ZENTRAD_WORKERS=1) and with the default (one per
#     core), and stored; the agent's CPU seconds per GB of used data (/proc/PID/stat);
#   - incremental after 1% of the used clusters changed, and digest compared after the
#     change-tracking driver lost its history;
#   - the stages alone (blocks_bench: read digest, deflate, Blowfish; the sink's digest)
#     and the ideal rate they allow on this machine's cores;
#   - ntfsclone --save-image | pigz -1 and | gzip -1, and md5sum of the volume.
# Rates are MiB/s of used data (MB/s in the output). Ends with a table and the targets.
#
#   bench/backup.sh [BUILD] [SIZE_MIB] [USED_PERCENT] [LEVEL]     (defaults: build 2048 50 1)
# BUILD must hold zentrad, hostsim, backup-server and bench/blocks_bench. LEVEL is the
# level of the stored full backup that the incremental and restore benchmarks build on.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"; size_mib="${2:-2048}"; used_pct="${3:-50}"; level="${4:-1}"
export PATH="$PATH:/usr/sbin:/sbin"
. "$root/scripts/lib.sh"
work="$(mktemp -d /tmp/zentrad-bench.XXXXXX)"
agent_pid=""; keep_work="${ZENTRAD_BENCH_KEEP:-}"; quiet_hostsim=1
keep_table() {
  [ -n "${table:-}" ] && [ -f "$table" ] && cp "$table" "${ZENTRAD_BENCH_TABLE:-/dev/null}" 2>/dev/null
  cleanup
}
trap keep_table EXIT
# The rows measure protocol version 1 unless protocol=2 is set for the call.
protocol=1
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
server init-keys >"$work/agent/config/server.allow/bench"
printf 'LocalPort = %s\nTimeout = 60\nIPAuthentication = false\n' "$port" >"$work/agent/config/zentrad.conf"
start_agent() {  # [WORKERS]
  stop_agent
  # The driver's state outlives an agent: reset it, so the wait below sees this agent
  # switch tracking on (it discards what was queued before).
  hostsim driver-reset
  ZENTRAD_WORKERS="${1:-}" ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" \
    ZENTRAD_STATUS_PORT=$((port + 1)) "$build/src/agent/zentrad" >"$work/agent.out" 2>&1 &
  agent_pid=$!
  for _ in $(seq 100); do grep -q "Listening" "$work/agent.out" 2>/dev/null && break; sleep 0.1; done
  # A write the driver records once tracking is on makes the volume known to the agent;
  # a write before that is dropped, and the next backup could not hand out a journal key.
  for _ in $(seq 100); do [ "$(cat "$work/host/driver/state" 2>/dev/null)" = 1 ] && break; sleep 0.1; done
  # A write through the disk (hostsim put edits the image without the driver seeing it).
  hostsim write 0:0 --cluster "$data_cluster" --count 1 --random
}
stop_agent() {
  if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null; wait "$agent_pid" 2>/dev/null || true; fi
  agent_pid=""
}
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$agent_pid/stat"; }
used_rate() { sed -n 's/.* \([0-9.]*\) MB\/s of used data.*/\1/p'; }
table="$work/table.md"
row() { printf '| %s | %s | %s | %s |\n' "$@" >>"$table"; }

# One backup; prints the server's line and leaves its MB/s in $last_rate. Also prints how
# many cores the agent and the server kept busy between them (their CPU seconds over the
# wall time) and leaves that in $last_busy: a pipeline that already keeps every core busy
# has nothing for more workers to gain.
backup() {  # LABEL STORE OPTIONS...
  local label="$1" store="$2"; shift 2
  local line ticks_before ticks_after times
  ticks_before=$(cpu_ticks)
  { TIMEFORMAT='%R %U %S'; time server backup "Disk 0 Partition 0" "$store" "$@" >"$work/server.out"; } 2>"$work/server.time"
  ticks_after=$(cpu_ticks)
  line="$(grep -E "^(full|incremental|digest-compared):" "$work/server.out")"
  last_rate="$(echo "$line" | used_rate)"
  last_seconds="$(echo "$line" | sed -n 's/.* \([0-9.]*\) s, .*/\1/p')"
  times="$(tail -1 "$work/server.time")"
  last_busy=$(awk -v t="$times" -v a=$((ticks_after - ticks_before)) -v hz="$(getconf CLK_TCK)" \
    'BEGIN { split(t, f, " "); printf "%.2f (agent %.2f s, server %.2f s, wall %.2f s)", (a / hz + f[2] + f[3]) / f[1], a / hz, f[2] + f[3], f[1] }')
  echo "== $label: $line"
  echo "   cores busy: $last_busy"
}

dd if="$work/host/disks/0.img" of="$work/volume.img" bs=1M skip=1 count="$size_mib" status=none
data_cluster=$(($(ntfsinfo -v -f "$work/volume.img" -F /random.bin 2>/dev/null |
  awk 'NF == 3 && $1 ~ /^0x/ && $2 ~ /^0x/ { print $2; exit }')))
start_agent 1
backup "full, level 1 + Blowfish, sink, one worker per stage" "$work/sink" compression=1 level=1 encryption=1 checksums=0 sink=1
one_l1="$last_rate"; one_l1_busy="${last_busy%% *}"
backup "full, level 6 + Blowfish, sink, one worker per stage" "$work/sink" compression=1 level=6 encryption=1 checksums=0 sink=1
one_l6="$last_rate"; one_l6_busy="${last_busy%% *}"

start_agent
ticks0=$(cpu_ticks)
backup "full, level 1 + Blowfish, sink" "$work/sink" compression=1 level=1 encryption=1 checksums=0 sink=1
ticks1=$(cpu_ticks)
many_l1="$last_rate"; many_l1_busy="${last_busy%% *}"
backup "full, level 6 + Blowfish, sink" "$work/sink" compression=1 level=6 encryption=1 checksums=0 sink=1
many_l6="$last_rate"; many_l6_busy="${last_busy%% *}"
protocol=2 backup "full, protocol 2, level 1, sink" "$work/sink" compression=1 level=1 encryption=1 checksums=0 sink=1
v2_l1="$last_rate"
other_level=$((level == 1 ? 6 : 1))
server init --no-encryption "$work/store$other_level" >/dev/null
server init --no-encryption "$work/store" >/dev/null
backup "full, level $other_level + Blowfish, stored" "$work/store$other_level" compression=1 "level=$other_level" encryption=1 checksums=1
eval "stored_l$other_level=\$last_rate"
backup "full, level $level + Blowfish, stored" "$work/store" compression=1 "level=$level" encryption=1 checksums=1
eval "stored_l$level=\$last_rate"
full_rate="$last_rate"
full_seconds="$last_seconds"
# The same into an encrypted store (chunks and indexes sealed, chunk names keyed).
printf 'bench passphrase\n' >"$work/store.pass"
ZENTRAD_PASSWORD_FILE="$work/store.pass" server init "$work/store-sealed" >/dev/null
ZENTRAD_PASSWORD_FILE="$work/store.pass" backup "full, level $level + Blowfish, stored encrypted" \
  "$work/store-sealed" compression=1 "level=$level" encryption=1 checksums=1
sealed_rate="$last_rate"

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
# The volume copy above is a gigabyte of dirty page cache; the server syncs its file system
# when it commits a point, and must not write the benchmark's own copy out inside the
# timed incremental.
rm -f "$work/volume.img" "$work/bitmap"
sync
while read -r cluster; do hostsim write 0:0 --cluster "$cluster" --count 64 --random; done <"$work/runs"
backup "incremental after 1% change" "$work/store" compression=1 "level=$level" encryption=1 checksums=1
incremental_seconds="$last_seconds"
hostsim driver-reset
backup "digest-compared, nothing changed" "$work/store" compression=1 "level=$level" encryption=1 checksums=1
digest_rate="$last_rate"
hostsim driver-reset
protocol=2 backup "digest-compared, protocol 2, nothing changed" "$work/store" compression=1 "level=$level" encryption=1 checksums=1
digest_v2_rate="$last_rate"
# The encrypted store brought up to the volume as it is now (its base is from before the 1%
# change: digests served from its sealed chunks, the change sent), so that restore.sh
# restores the same volume from both stores.
ZENTRAD_PASSWORD_FILE="$work/store.pass" backup "digest-compared after 1% change, encrypted store" \
  "$work/store-sealed" compression=1 "level=$level" encryption=1 checksums=1
sealed_incremental_seconds="$last_seconds"
peak="$(awk '/VmHWM/ { print $2, $3 }' /proc/$agent_pid/status)"
echo "== agent peak resident memory: $peak"
stop_agent

echo "== stages alone and reference tools on the same volume"
dd if="$work/host/disks/0.img" of="$work/volume.img" bs=1M skip=1 count="$size_mib" status=none
used_bytes=$(ntfsinfo -m -f "$work/volume.img" 2>/dev/null | awk '/Cluster Size/ { c = $3 } /Volume Size in Clusters/ { n = $5 } /Free Clusters/ { f = $3 } END { print (n - f) * c }')
start=$(seconds); md5sum "$work/volume.img" >/dev/null; end=$(seconds)
md5_rate=$(rate $((size_mib << 20)) "$start" "$end" | cut -d' ' -f1)
echo "md5sum of the whole volume: $md5_rate MB/s"
stage() { "$build/bench/blocks_bench" --benchmark_filter="^$1\$" --benchmark_format=csv 2>/dev/null |
  awk -F, 'NR > 1 { printf "%.1f", $6 / 1048576 }'; }
s_digest=$(stage digestBlock); s_l1=$(stage deflateBlock/1); s_l6=$(stage deflateBlock/6); s_bf=$(stage encryptBlock)
echo "stages alone, one core (MB/s): read digest $s_digest, deflate level 1 $s_l1, level 6 $s_l6, Blowfish $s_bf"
cores=$(nproc)
ideal() { awk -v d="$s_digest" -v z="$1" -v b="$s_bf" -v n="$cores" 'BEGIN { printf "%.1f", n / (2 / d + 1 / z + 1 / b) }'; }
ideal_l1=$(ideal "$s_l1"); ideal_l6=$(ideal "$s_l6")
echo "ideal on $cores cores (agent digest, deflate, Blowfish; sink digest): level 1 $ideal_l1, level 6 $ideal_l6 MB/s"
stage_cpu=$(awk -v d="$s_digest" -v z="$s_l1" -v b="$s_bf" 'BEGIN { printf "%.1f", 1000 / 1.048576 * (1 / d + 1 / z + 1 / b) }')
agent_cpu=$(awk -v t=$((ticks1 - ticks0)) -v hz="$(getconf CLK_TCK)" -v u="$used_bytes" 'BEGIN { printf "%.1f", t / hz / (u / 1e9) }')
echo "agent CPU per GB of used data (level 1 + Blowfish, sink): $agent_cpu s; stages alone: $stage_cpu s"
clone_rate() {  # COMPRESSOR
  start=$(seconds)
  ntfsclone --save-image -o - "$work/volume.img" 2>/dev/null | "$1" -1 >/dev/null
  end=$(seconds)
  rate "${used_bytes:-0}" "$start" "$end" | cut -d' ' -f1
}
pigz_rate=$(clone_rate pigz); gzip_rate=$(clone_rate gzip)
echo "ntfsclone --save-image | pigz -1: $pigz_rate MB/s, | gzip -1: $gzip_rate MB/s of used data"

{
  echo "| work | zentrad | reference | ratio (target) |"
  echo "|---|---|---|---|"
} >"$table"
row "full, level 1 + Blowfish, sink=1" "$many_l1 MB/s" "ntfsclone \\| pigz -1: $pigz_rate MB/s" "$(ratio "$many_l1" "$pigz_rate") (≥ 0.9)"
row "full, level 6 + Blowfish, sink=1" "$many_l6 MB/s" "one worker: $one_l6 MB/s" "$(ratio "$many_l6" "$one_l6") (≥ 1.8)"
row "cores busy (agent + server CPU / wall), level 6 sink" "$many_l6_busy of $cores" "one worker: $one_l6_busy of $cores" ""
row "cores busy (agent + server CPU / wall), level 1 sink" "$many_l1_busy of $cores" "one worker: $one_l1_busy of $cores" ""
row "full, level 6 + Blowfish, sink=1" "$many_l6 MB/s" "ideal: $ideal_l6 MB/s" "$(ratio "$many_l6" "$ideal_l6") (≥ 0.85)"
row "full, level 1 + Blowfish, sink=1" "$many_l1 MB/s" "one worker: $one_l1 MB/s; ideal $ideal_l1 MB/s" "$(ratio "$many_l1" "$one_l1"), $(ratio "$many_l1" "$ideal_l1")"
row "full, level 1 + Blowfish, stored" "${stored_l1:-} MB/s" "ntfsclone \\| gzip -1: $gzip_rate MB/s" "$(ratio "${stored_l1:-0}" "$gzip_rate")"
row "full, level 6 + Blowfish, stored" "${stored_l6:-} MB/s" "" ""
row "full, level $level + Blowfish, stored encrypted" "$sealed_rate MB/s" "unencrypted store: $full_rate MB/s" "$(ratio "$sealed_rate" "$full_rate")"
row "digest-compared after 1% change, encrypted store" "$sealed_incremental_seconds s" "unencrypted store: $incremental_seconds s" "$(ratio "$sealed_incremental_seconds" "$incremental_seconds")"
row "agent CPU per GB used (level 1 + Blowfish)" "$agent_cpu s" "stages alone: $stage_cpu s" "$(ratio "$agent_cpu" "$stage_cpu") (≤ 1.25)"
row "digest-compared, nothing changed" "$digest_rate MB/s" "md5sum of the volume: $md5_rate MB/s" "$(ratio "$digest_rate" "$md5_rate") (≥ 0.5)"
row "full, protocol 2, level 1, sink=1" "$v2_l1 MB/s" "ntfsclone \\| pigz -1: $pigz_rate MB/s" "$(ratio "$v2_l1" "$pigz_rate") (≥ 1.8)"
row "full, protocol 2 against protocol 1, level 1, sink=1" "$v2_l1 MB/s" "level 1 + Blowfish: $many_l1 MB/s" "$(ratio "$v2_l1" "$many_l1")"
row "digest-compared, protocol 2, nothing changed" "$digest_v2_rate MB/s" "md5sum of the volume: $md5_rate MB/s" "$(ratio "$digest_v2_rate" "$md5_rate") (≥ 1.5)"
row "incremental after 1% change" "$incremental_seconds s" "full: ${full_seconds:-?} s" "$(ratio "$incremental_seconds" "${full_seconds:-0}") (< 0.05)"
row "agent peak memory" "$peak" "" "(< 64 MiB + maps)"
echo "== table (${size_mib} MiB volume, ${used_pct}% used, $cores cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
cat "$table"
