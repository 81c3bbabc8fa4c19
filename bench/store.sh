#!/usr/bin/env bash
# Restore-point store benchmark. bench/backup.sh builds the emulated NTFS volume and makes
# a full, an incremental (1% of the used clusters changed) and a digest-compared backup;
# then nine more rounds of 1% changes and incremental backups follow, so the store holds a
# full and ten 1% incrementals. Reports the store's size on disk against the sum of the
# bytes the agent sent, and the plain restore rate from a restore point, checked by the
# files read back. With OLD_BUILD (a build of backup-server from before restore points,
# which kept one plain image per volume) the same volume is also backed up and restored
# through that tool in the same run, as the reference.
#
#   bench/store.sh [BUILD] [SIZE_MIB] [USED_PERCENT] [OLD_BUILD]     (defaults: build 1024 50)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"; size_mib="${2:-1024}"; used_pct="${3:-50}"; old="${4:-}"
export PATH="$PATH:/usr/sbin:/sbin"

echo "== set-up: bench/backup.sh $size_mib MiB, ${used_pct}% used"
setup="$(ZENTRAD_BENCH_KEEP=1 "$root/bench/backup.sh" "$build" "$size_mib" "$used_pct" 1)"
echo "$setup" | grep -E "^(full|incremental|digest-compared):" | sed 's/^/   /'
work="$(echo "$setup" | sed -n 's/^kept //p')"
[ -d "$work" ] || { echo "bench/backup.sh kept no work folder" >&2; exit 1; }
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  wait 2>/dev/null || true
  if [ -n "${ZENTRAD_BENCH_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

disk="$work/host/disks/0.img"
port="$(awk '/LocalPort/ { print $3 }' "$work/agent/config/zentrad.conf")"
hostsim() { "$build/tools/hostsim/hostsim" --root "$work/host" "$@" >/dev/null; }
server() { "$build/tools/backup-server/backup-server" --keys "$work/keys" --port "$port" "$@"; }
wire_bytes() { sed -nE 's/.* compressed, ([0-9]+) bytes in .*/\1/p'; }
wipe() { dd if=/dev/zero of="$disk" bs=1M seek=1 count="$size_mib" conv=notrunc status=none; }
files_digest() {
  dd if="$disk" of="$work/restored.img" bs=1M skip=1 count="$size_mib" status=none
  for name in /text.txt /random.bin; do ntfscat -f "$work/restored.img" "$name" | md5sum; done
}

ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" \
  ZENTRAD_STATUS_PORT=$((port + 1)) "$build/src/agent/zentrad" >"$work/store-agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do grep -q "Listening" "$work/store-agent.out" 2>/dev/null && break; sleep 0.1; done

sent=$(echo "$setup" | grep -E "^(full|incremental|digest-compared):" | wire_bytes | awk '{ s += $1 } END { print s }')
for round in $(seq 2 10); do
  while read -r cluster; do hostsim write 0:0 --cluster "$cluster" --count 64 --random; done <"$work/runs"
  line="$(server backup "Disk 0 Partition 0" "$work/store" compression=1 level=1 encryption=1 \
    checksums=1 | grep -E "^(full|incremental|digest-compared):")"
  echo "   round $round: ${line%%, digests served*}"
  sent=$((sent + $(echo "$line" | wire_bytes)))
done
store_bytes=$(du -s -B1 "$work/store" | cut -f1)
echo "== store after a full and ten 1% incrementals: $(server points "$work/store" | tail -n +2 | wc -l) points"
awk -v s="$store_bytes" -v w="$sent" 'BEGIN {
  printf "store on disk: %.1f MiB; the agent sent %.1f MiB in all; ratio %.2f\n", s / 1048576, w / 1048576, s / w }'

expected="$(files_digest)"
if [ -n "$old" ]; then
  echo "== reference: the previous tool (one plain image per volume), a full backup of the same volume"
  old_server() { "$old/tools/backup-server/backup-server" --keys "$work/keys" --port "$port" "$@"; }
  old_server backup "Disk 0 Partition 0" "$work/old-store" compression=1 level=1 encryption=1 \
    checksums=0 | grep -E "^(full|incremental|digest-compared):" | sed 's/^/   /'
  echo "   its store on disk: $(du -s -B1 "$work/old-store" | awk '{ printf "%.1f MiB", $1 / 1048576 }')"
fi
# Plain restores, the point's and the reference's taking turns so that both meet the same
# machine load.
check() {
  [ "$(files_digest)" = "$expected" ] || { echo "   MISMATCH after the restore" >&2; exit 1; }
}
for turn in 1 2; do
  wipe
  echo "   turn $turn, latest point: $(server restore "Disk 0 Partition 0" "$work/store" \
    compression=0 encryption=0 | grep -E "^restored")"
  check
  if [ -n "$old" ]; then
    wipe
    echo "   turn $turn, previous tool: $(old_server restore "Disk 0 Partition 0" "$work/old-store" \
      compression=0 encryption=0 | grep -E "^restored")"
    check
  fi
done
echo "   every restore read back the volume's files"
