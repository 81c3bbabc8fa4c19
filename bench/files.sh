#!/usr/bin/env bash
# Single files out of a restore point against restoring the whole volume. A volume of
# SIZE MiB (default 1024) holds a 1 MiB and a 100 MiB file of random bytes and compressible
# text filling about half of it; the real agent backs it up into a store (compressed,
# enciphered on the wire). Then, from that point:
#   - ls of the root folder, extract of the 1 MiB file, extract of the 100 MiB file:
#     wall time and the chunk bytes the server read (its own count, --stats / extract);
#   - restore of the whole volume onto a second partition: wall time and every chunk of
#     the point (the store's chunk folder).
# Each extracted file is compared with ntfscat of the backed-up volume.
#
#   bench/files.sh [BUILD] [SIZE_MIB]      (BUILD holds zentrad, hostsim and backup-server)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"; size_mib="${2:-1024}"
export PATH="$PATH:/usr/sbin:/sbin"
. "$root/scripts/lib.sh"
work="$(mktemp -d /tmp/zentrad-files-bench.XXXXXX)"
agent_pid=""; quiet_hostsim=1
trap cleanup EXIT
elapsed() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.2f", e - s }'; }
chunk_bytes() { sed -nE 's/.*read [0-9]+ chunks \(([0-9]+) bytes\).*/\1/p'; }

echo "== volume: $size_mib MiB; a 1 MiB and a 100 MiB file, text filling half of it"
hostsim init; hostsim driver-install
hostsim add-disk --size "$((2 * size_mib + 4))M" --part "size=${size_mib}M,type=7" \
  --part "size=${size_mib}M,type=7"
hostsim mkfs 0:0
head -c 1M /dev/urandom >"$work/one.bin"
head -c 100M /dev/urandom >"$work/hundred.bin"
python3 - "$work/text.txt" "$((size_mib / 2 - 101))" <<'PY'
import sys, random
random.seed(1)
words = [''.join(random.choice('abcdefghijklmnop') for _ in range(random.randint(2, 9))) for _ in range(2000)]
with open(sys.argv[1], 'w') as out:
    total, limit = 0, int(sys.argv[2]) << 20
    while total < limit:
        line = ' '.join(random.choice(words) for _ in range(12)) + '\n'
        out.write(line); total += len(line)
PY
for name in text.txt one.bin hundred.bin; do hostsim put 0:0 "$work/$name" "/$name"; done
dd if="$work/host/disks/0.img" of="$work/volume.img" bs=1M skip=1 count="$size_mib" status=none

port=$((20000 + RANDOM % 20000))
mkdir -p "$work/agent/config/server.allow"
server init-keys >"$work/agent/config/server.allow/bench"
printf 'LocalPort = %s\nTimeout = 60\n' "$port" >"$work/agent/config/zentrad.conf"
ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" \
  ZENTRAD_STATUS_PORT=$((port + 1)) "$build/src/agent/zentrad" >"$work/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do grep -q "Listening" "$work/agent.out" 2>/dev/null && break; sleep 0.1; done
server init --no-encryption "$work/store" >/dev/null
server backup "Disk 0 Partition 0" "$work/store" compression=1 level=1 encryption=1 \
  | grep -E "^full:" | sed 's/^/   /'
store_chunks=$(du -s -B1 "$work/store/chunks" | cut -f1)

volume="Disk 0 Partition 0"
sync; echo "== from the point (chunk bytes: as stored, compressed)"
start=$(seconds)
server --stats ls "$work/store" "$volume" >/dev/null 2>"$work/ls.txt"
end=$(seconds)
ls_bytes=$(chunk_bytes <"$work/ls.txt")
printf "   %-32s %8s s  %12s chunk bytes read\n" "ls /" "$(elapsed "$start" "$end")" "$ls_bytes"
extract() {  # NAME LABEL
  rm -rf "$work/out"
  start=$(seconds)
  server extract "$work/store" "$volume" "/$1" "$work/out" >"$work/extract.txt"
  end=$(seconds)
  cmp -s "$work/out/$1" <(ntfscat -f "$work/volume.img" "/$1") || { echo "/$1 differs" >&2; exit 1; }
  printf "   %-32s %8s s  %12s chunk bytes read\n" "$2" "$(elapsed "$start" "$end")" \
    "$(chunk_bytes <"$work/extract.txt")"
}
extract one.bin "extract 1 MiB file"
extract hundred.bin "extract 100 MiB file"
start=$(seconds)
server restore "Disk 0 Partition 1" "$work/store" from="$volume" >/dev/null
end=$(seconds)
printf "   %-32s %8s s  %12s chunk bytes read (all the point's chunks)\n" \
  "restore the whole volume" "$(elapsed "$start" "$end")" "$store_chunks"
