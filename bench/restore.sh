#!/usr/bin/env bash
# Volume restore benchmark. bench/backup.sh builds the emulated NTFS volume and backs it up
# into a store (its work folder is kept); then the volume is wiped and the real agent
# restores the store's used blocks onto the same partition through the backup server:
# plain, deflated and enciphered with the session key, enciphered with a key sent in the
# request, and deflated and enciphered by the server ahead of time into a file it then only
# replays (the agent's side alone). Every restore is checked (the files read back equal the volume's, via
# ntfscat). Reports MB/s of used data, the CPU seconds of the agent and of the server per
# restore, and the agent's peak resident memory, and in the same
# run the references: ntfsclone --restore-image of the same volume and dd of the whole
# volume image. None of them syncs: all measure writes into the page cache.
#
#   bench/restore.sh [BUILD] [SIZE_MIB] [USED_PERCENT]     (defaults: build 2048 50)
# BUILD must hold zentrad, hostsim and backup-server. ZENTRAD_BENCH_WORK=DIR restores from a
# work folder an earlier run kept (ZENTRAD_BENCH_KEEP=1) instead of setting one up.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib.sh"
build="${1:-$root/build}"; size_mib="${2:-2048}"; used_pct="${3:-50}"
export PATH="$PATH:/usr/sbin:/sbin"

if [ -n "${ZENTRAD_BENCH_WORK:-}" ]; then
  # A work folder bench/backup.sh kept (ZENTRAD_BENCH_KEEP=1) of the same size: restores only.
  work="$ZENTRAD_BENCH_WORK"
  export ZENTRAD_BENCH_KEEP=1
else
  echo "== set-up: bench/backup.sh $size_mib MiB, ${used_pct}% used"
  setup="$(ZENTRAD_BENCH_KEEP=1 "$root/bench/backup.sh" "$build" "$size_mib" "$used_pct" 1)"
  echo "$setup" | sed 's/^/   /'
  work="$(echo "$setup" | sed -n 's/^kept //p')"
fi
[ -d "$work" ] || { echo "bench/backup.sh kept no work folder" >&2; exit 1; }
agent_pid=""; keep_work="${ZENTRAD_BENCH_KEEP:-}"
trap cleanup EXIT

disk="$work/host/disks/0.img"
port="$(awk '/LocalPort/ { print $3 }' "$work/agent/config/zentrad.conf")"
# The rows measure protocol version 1 unless protocol=2 is set for the call.
protocol=1
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f MB/s", b / 1048576 / s }'; }
partition() { dd if="$disk" of="$1" bs=1M skip=1 count="$size_mib" status=none; }
files_digest() {
  for name in /text.txt /random.bin; do ntfscat -f "$1" "$name" | md5sum; done
}

# The volume as it was backed up last (bench/backup.sh leaves it in volume.img).
expected="$(files_digest "$work/volume.img")"
used_bytes=$(ntfsinfo -m -f "$work/volume.img" 2>/dev/null | awk '/Cluster Size/ { c = $3 }
  /Volume Size in Clusters/ { n = $5 } /Free Clusters/ { f = $3 } END { print (n - f) * c }')

ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" \
  ZENTRAD_STATUS_PORT=$((port + 1)) "$build/src/agent/zentrad" >"$work/restore-agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do grep -q "Listening" "$work/restore-agent.out" 2>/dev/null && break; sleep 0.1; done

# CPU seconds (user + system) a process has used so far.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"
}
run_restore() {
  local label="$1"; shift
  echo "== restore, $label"
  wipe
  local line agent_before agent_after
  agent_before="$(cpu_seconds "$agent_pid")"
  line="$( { /usr/bin/time -f "server-cpu %U %S" "$build/tools/backup-server/backup-server" \
    --keys "$work/keys" --port "$port" --protocol "${protocol:-1}" restore "Disk 0 Partition 0" "$@"; } 2>&1 |
    grep -E "^(restored|server-cpu)")"
  agent_after="$(cpu_seconds "$agent_pid")"
  echo "$line" | grep "^restored"
  echo "$line" | awk -v a="$agent_before" -v b="$agent_after" '/^server-cpu/ {
    printf "   CPU seconds: agent %.2f, backup-server %.2f\n", b - a, $2 + $3 }'
  line="$(echo "$line" | grep "^restored")"
  last_rate="$(echo "$line" | sed -n 's/.* \([0-9.]*\) MiB\/s.*/\1/p')"
  partition "$work/restored.img"
  if [ "$(files_digest "$work/restored.img")" = "$expected" ]; then
    echo "   files read back equal the backed-up volume's"
  else
    echo "   MISMATCH: the restored files differ" >&2; exit 1
  fi
}
run_restore "plain" "$work/store" compression=0 encryption=0
plain_rate="$last_rate"
ZENTRAD_PASSWORD_FILE="$work/store.pass" run_restore "plain, from an encrypted store" \
  "$work/store-sealed" compression=0 encryption=0
sealed_rate="$last_rate"
run_restore "deflated (level 1), enciphered with the session key" "$work/store" compression=1 \
  level=1 encryption=1
packed_rate="$last_rate"
run_restore "enciphered with a key in the request" "$work/store" encryption=1 key=request
# The agent's side alone: the server packed the batches (level 1, a key in the request) into a
# file beforehand and only replays them, as the backup's sink=1 only receives.
server restore "Disk 0 Partition 0" "$work/store" compression=1 level=1 encryption=1 \
  key=request pack="$work/prepacked.bin" >/dev/null
run_restore "deflated (level 1), enciphered with a key in the request, server pre-packed" \
  packed="$work/prepacked.bin"
prepacked_rate="$last_rate"
rm -f "$work/prepacked.bin"
protocol=2 run_restore "protocol 2, plain" "$work/store" compression=0 encryption=0
v2_plain_rate="$last_rate"
protocol=2 run_restore "protocol 2, deflated (level 1)" "$work/store" compression=1 level=1 encryption=0
v2_deflated_rate="$last_rate"
echo "== agent peak resident memory: $(awk '/VmHWM/ { print $2, $3 }' /proc/$agent_pid/status)"

echo "== references on the same volume ($((used_bytes / 1048576)) MiB used)"
ntfsclone --save-image -o "$work/clone.img" "$work/volume.img" >/dev/null 2>&1
truncate -s "${size_mib}M" "$work/clone-target.img"
start=$(seconds)
ntfsclone --restore-image --overwrite "$work/clone-target.img" "$work/clone.img" >/dev/null 2>&1
end=$(seconds)
clone_rate="$(rate "$used_bytes" "$(echo "$end - $start" | bc)" | cut -d' ' -f1)"
echo "ntfsclone --restore-image: $clone_rate MB/s of used data"
wipe
start=$(seconds)
dd if="$work/volume.img" of="$disk" bs=1M seek=1 conv=notrunc status=none
end=$(seconds)
echo "dd of the whole volume: $(rate $((size_mib << 20)) "$(echo "$end - $start" | bc)") ($(rate "$used_bytes" "$(echo "$end - $start" | bc)") counted as used data)"
echo "== restore table (${size_mib} MiB volume, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo "| work | zentrad | reference | ratio (target) |"
echo "|---|---|---|---|"
echo "| plain restore | $plain_rate MB/s | ntfsclone --restore-image: $clone_rate MB/s | $(ratio "$plain_rate" "$clone_rate") (≥ 1) |"
echo "| plain restore from an encrypted store | $sealed_rate MB/s | unencrypted store: $plain_rate MB/s | $(ratio "$sealed_rate" "$plain_rate") |"
echo "| restore, level 1 + Blowfish | $packed_rate MB/s | plain: $plain_rate MB/s | $(ratio "$packed_rate" "$plain_rate") (≥ 0.4) |"
echo "| protocol 2, plain restore | $v2_plain_rate MB/s | ntfsclone --restore-image: $clone_rate MB/s | $(ratio "$v2_plain_rate" "$clone_rate") (≥ 1.0) |"
echo "| protocol 2, deflated (level 1) restore | $v2_deflated_rate MB/s | protocol 2 plain: $v2_plain_rate MB/s | $(ratio "$v2_deflated_rate" "$v2_plain_rate") (≥ 0.6) |"
echo "| protocol 2 plain against protocol 1 plain | $v2_plain_rate MB/s | protocol 1 plain: $plain_rate MB/s | $(ratio "$v2_plain_rate" "$plain_rate") |"
echo "| restore, level 1 + Blowfish, server pre-packed | $prepacked_rate MB/s | plain: $plain_rate MB/s | $(ratio "$prepacked_rate" "$plain_rate") |"
