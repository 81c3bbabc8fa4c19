#!/usr/bin/env bash
# Object-store benchmark: the backup and restore rates of one volume into and from a store
# folder and an s3:// store at an S3 gateway (the local radosgw of scripts/ceph.sh), in the
# same run on the same volume. bench/backup.sh builds the emulated NTFS volume (half
# compressible text, half random bytes); here each store gets a full backup (compression 1,
# level 1) and a restore of it onto the wiped volume, checked by the files read back. Rates
# are of the volume's used data.
#
#   bench/s3.sh [BUILD] [SIZE_MIB] [USED_PERCENT]     (defaults: build 256 50)
# Needs the S3 environment: scripts/ceph.sh start DIR && source DIR/s3.env (ZENTRAD_TEST_S3
# names the bucket). ZENTRAD_BENCH_KEEP=1 keeps the work folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"; size_mib="${2:-256}"; used_pct="${3:-50}"
export PATH="$PATH:/usr/sbin:/sbin"
[ -n "${ZENTRAD_TEST_S3:-}" ] || { echo "bench/s3.sh: source DIR/s3.env first (scripts/ceph.sh start DIR)" >&2; exit 2; }

echo "== set-up: bench/backup.sh $size_mib MiB, ${used_pct}% used; load $(cut -d' ' -f1-3 /proc/loadavg)"
setup="$(ZENTRAD_BENCH_KEEP=1 "$root/bench/backup.sh" "$build" "$size_mib" "$used_pct" 1)"
work="$(echo "$setup" | sed -n 's/^kept //p')"
[ -d "$work" ] || { echo "bench/backup.sh kept no work folder" >&2; exit 1; }
. "$root/scripts/lib.sh"
agent_pid=""
keep_work="${ZENTRAD_BENCH_KEEP:-}"
trap cleanup EXIT

disk="$work/host/disks/0.img"
port="$(awk '/LocalPort/ { print $3 }' "$work/agent/config/zentrad.conf")"
# Every run of the tool shares one cache folder for the s3:// store.
s3_server() { server --cache-dir "$work/s3-cache" "$@"; }
files_digest() {
  dd if="$disk" of="$work/restored.img" bs=1M skip=1 count="$size_mib" status=none
  for name in /text.txt /random.bin; do ntfscat -f "$work/restored.img" "$name" | md5sum; done
  rm -f "$work/restored.img"
}
rate() { awk -v b="$1" -v s="$2" -v e="$3" 'BEGIN { printf "%.1f MB/s (%.2f s)", b / (e - s) / 1e6, e - s }'; }

ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" \
  ZENTRAD_STATUS_PORT=$((port + 1)) "$build/src/agent/zentrad" >"$work/s3-agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do grep -q "Listening" "$work/s3-agent.out" 2>/dev/null && break; sleep 0.1; done

expected="$(files_digest)"
folder="$work/folder-store"
bucket="$ZENTRAD_TEST_S3/bench-$$-$(date +%s)"
echo "== ${size_mib} MiB volume, ${used_pct}% used; $(nproc) cores"
for store in "$folder" "$bucket"; do
  s3_server init "$store" --no-encryption >/dev/null
  start="$(seconds)"
  s3_server backup "Disk 0 Partition 0" "$store" compression=1 level=1 encryption=1 >/dev/null
  end="$(seconds)"
  used="$(s3_server --json points "$store" | python3 -c '
import json, sys
points = json.load(sys.stdin)
points = points.get("points", points) if isinstance(points, dict) else points
print(points[-1]["used_blocks"] * points[-1]["block_size"])')"
  backup_rate="$(rate "$used" "$start" "$end")"
  wipe
  start="$(seconds)"
  s3_server restore "Disk 0 Partition 0" "$store" compression=0 encryption=0 >/dev/null
  end="$(seconds)"
  [ "$(files_digest)" = "$expected" ] || { echo "MISMATCH after the restore from $store" >&2; exit 1; }
  kind="folder"; [ "$store" = "$bucket" ] && kind="s3 (radosgw)"
  echo "   $kind: backup $backup_rate, restore $(rate "$used" "$start" "$end") (load $(cut -d' ' -f1 /proc/loadavg))"
done
echo "   every restore read back the volume's files"
