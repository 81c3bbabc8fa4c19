#!/usr/bin/env bash
# The main job, end to end, on an emulated Windows host created for the occasion:
#   an NTFS volume with real files -> full backup -> files change -> incremental backup
#   -> the volume restored onto a second, blank partition -> the older restore point
#   restored there too -> one file taken out of the older point -> a few files restored
# with every step verified byte for byte, and a short summary with throughput. The agent
# is stopped in order at the end; no process and no host are left behind.
#
#   ZENTRAD_BUILD_DIR   use the binaries of this build instead of installing and building
#   ZENTRAD_DEMO_KEEP   keep the work folder (host, store, logs) for a look afterwards
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/lib.sh"
export PATH="$PATH:/usr/sbin:/sbin"

if [ -z "${ZENTRAD_BUILD_DIR:-}" ]; then
  "$root/scripts/setup.sh"
  ZENTRAD_BUILD_DIR="$root/build/demo"
  echo "== building into $ZENTRAD_BUILD_DIR"
  "$root/scripts/build.sh" "$ZENTRAD_BUILD_DIR" -DZENTRAD_BUILD_TESTS=OFF -DZENTRAD_BUILD_BENCH=OFF
fi
build="$ZENTRAD_BUILD_DIR"

work="$(mktemp -d /tmp/zentrad-demo.XXXXXX)"
agent_pid=""; keep_work="${ZENTRAD_DEMO_KEEP:-}"; server_keys=server-keys
trap cleanup EXIT
fail() { echo "demo: FAILED: $*"; [ -f "$work/agent.out" ] && tail -20 "$work/agent.out"; exit 1; }

partition_image() {  # partition_image START_MIB SIZE_MIB FILE: copy a partition out of disk 0
  dd if="$work/host/disks/0.img" of="$3" bs=1M skip="$1" count="$2" status=none
}
volume_files() { ntfsls -f "$1" | grep -v '^\$' | sort; }

echo "== emulated host: disk 0 with two 48 MiB partitions; NTFS with real files on the first"
hostsim init >/dev/null
hostsim driver-install >/dev/null
hostsim add-disk --size 100M --part 'start=1M,size=48M,type=7' --part 'start=50M,size=48M,type=7' >/dev/null
hostsim mkfs 0:0 --label demo >/dev/null
hostsim letter C 0:0 >/dev/null
mkdir -p "$work/files"
cp /usr/share/common-licenses/GPL-3 "$work/files/GPL-3.txt"
cp /usr/share/common-licenses/Apache-2.0 "$work/files/Apache-2.0.txt"
for binary in ls bash tar; do cp "$(command -v $binary)" "$work/files/$binary.exe"; done
head -c 3M /dev/urandom >"$work/files/random.bin"
seq 1 200000 >"$work/files/numbers.txt"
for file in "$work/files"/*; do hostsim put 0:0 "$file" "/$(basename "$file")" >/dev/null; done
echo "   $(ls "$work/files" | wc -l) files, $(du -sh "$work/files" | cut -f1) on C:"

echo "== starting the agent"
# Below Linux's ephemeral range (32768 and up), where the tests that run beside the demo
# under ctest get their ports from: the two ports never collide with theirs.
port=$((20000 + RANDOM % 12000))
mkdir -p "$work/agent/config/server.allow"
server init-keys >"$work/agent/config/server.allow/demo-server"
printf 'LocalPort = %s\nTimeout = 60\n' "$port" >"$work/agent/config/zentrad.conf"
ZENTRAD_INSTALL_DIR="$work/agent" ZENTRAD_HOST_ROOT="$work/host" ZENTRAD_STATUS_PORT=$((port + 1)) \
  "$build/src/agent/zentrad" >"$work/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 200); do grep -q "Listening" "$work/agent.out" 2>/dev/null && break; sleep 0.1; done
grep -q "Listening" "$work/agent.out" || fail "the agent did not start listening"
# A write after the start, so the change-tracking driver knows the volume from now on.
echo "written after the agent started" >"$work/files/hello.txt"
hostsim put 0:0 "$work/files/hello.txt" /hello.txt >/dev/null

volume="Disk 0 Partition 0"
target="Disk 0 Partition 1"
backup() {
  server backup "$volume" "$work/store" compression=1 level=1 encryption=1 checksums=1 >"$work/$1.txt" \
    || { cat "$work/$1.txt"; fail "$1 backup"; }
  grep -E "^(full|incremental|digest-compared):" "$work/$1.txt" | sed 's/^/   /'
}

# The store is encrypted at rest (the default): its passphrase comes from a file, never from
# the command line.
printf 'demo passphrase\n' >"$work/passphrase"
chmod 600 "$work/passphrase"
export ZENTRAD_PASSWORD_FILE="$work/passphrase"
server init "$work/store" | sed 's/^/   /'
echo "== full backup of $volume (the server holds nothing yet: every used block is sent)"
backup full
used_sent="$(sed -nE 's/^[a-z-]+: ([0-9]+) used blocks .* sent ([0-9]+) .*/\1 \2/p' "$work/full.txt")"
[ -n "$used_sent" ] && [ "${used_sent% *}" = "${used_sent#* }" ] || fail "the first backup did not send every used block"

partition_image 1 48 "$work/at-full.img"

echo "== changing files: one replaced, one added"
head -c 1M /dev/urandom >"$work/files/random.bin"
printf 'a file added between the backups\n' >"$work/files/added.txt"
hostsim put 0:0 "$work/files/random.bin" /random.bin >/dev/null
hostsim put 0:0 "$work/files/added.txt" /added.txt >/dev/null

echo "== incremental backup"
backup incremental
grep -q "^incremental:" "$work/incremental.txt" || fail "the second backup was not incremental"

echo "== restoring the volume onto the blank partition ($target)"
server restore "$target" "$work/store" "from=$volume" compression=1 encryption=1 >"$work/restore.txt" \
  || { cat "$work/restore.txt"; fail "volume restore"; }
sed 's/^/   /' "$work/restore.txt"

echo "== verifying the restored volume file by file"
partition_image 1 48 "$work/source.img"
partition_image 50 48 "$work/restored.img"
ntfsinfo -m -f "$work/restored.img" >/dev/null 2>&1 || fail "the restored partition is not a valid NTFS volume"
volume_files "$work/source.img" >"$work/source.list"
volume_files "$work/restored.img" >"$work/restored.list"
cmp -s "$work/source.list" "$work/restored.list" || fail "the restored volume lists other files"
checked=0
while read -r name; do
  cmp -s <(ntfscat -f "$work/source.img" "/$name") <(ntfscat -f "$work/restored.img" "/$name") \
    || fail "/$name differs after the restore"
  cmp -s "$work/files/$name" <(ntfscat -f "$work/restored.img" "/$name") || fail "/$name is not the file put there"
  checked=$((checked + 1))
done <"$work/source.list"
echo "   $checked files identical to the source volume and to the originals"

echo "== the store keeps two restore points; the older one (the full backup) restored onto $target"
server points "$work/store" | sed 's/^/   /'
server verify "$work/store" | tail -1 | sed 's/^/   /'
server restore "$target" "$work/store" point=1 >"$work/restore-older.txt" \
  || { cat "$work/restore-older.txt"; fail "restore of the older point"; }
partition_image 50 48 "$work/restored-older.img"
volume_files "$work/at-full.img" >"$work/at-full.list"
volume_files "$work/restored-older.img" | cmp -s "$work/at-full.list" - \
  || fail "the older point lists other files than the volume had at the full backup"
while read -r name; do
  cmp -s <(ntfscat -f "$work/at-full.img" "/$name") <(ntfscat -f "$work/restored-older.img" "/$name") \
    || fail "/$name differs from the volume at the full backup"
done <"$work/at-full.list"
echo "   $(wc -l <"$work/at-full.list") files identical to the volume as it was at the full backup"

echo "== one file out of the older point, without restoring a volume (random.bin changed since)"
server ls -l "$work/store" "$volume" point=1 | grep -v '^d' | sed 's/^/   /'
server extract "$work/store" "$volume" point=1 /random.bin "$work/extracted" >"$work/extract.txt" \
  || { cat "$work/extract.txt"; fail "extract from the older point"; }
tail -1 "$work/extract.txt" | sed 's/^/   /'
cmp -s "$work/extracted/random.bin" <(ntfscat -f "$work/at-full.img" /random.bin) \
  || fail "random.bin from the older point is not the file as it was at the full backup"
cmp -s "$work/extracted/random.bin" "$work/files/random.bin" \
  && fail "random.bin from the older point is the newer file"
echo "   random.bin from point 1 is the file as it was at the full backup"

echo "== restoring three files to D:\\restored"
hostsim letter D 0:1 >/dev/null
mkdir -p "$work/pick"
cp "$work/files/GPL-3.txt" "$work/files/random.bin" "$work/files/added.txt" "$work/pick/"
server restore-files 'target=D:\restored' "$work/pick" >"$work/files-restore.txt" \
  || { cat "$work/files-restore.txt"; fail "file restore"; }
sed 's/^/   /' "$work/files-restore.txt"
for name in GPL-3.txt random.bin added.txt; do
  found="$(find "$work/host/drives/D" -name "$name" -type f | head -1)"
  [ -n "$found" ] && cmp -s "$found" "$work/files/$name" || fail "restored file $name differs"
done
echo "   3 files identical to the originals"

echo "== GPT disk 1: reserved partition, then two data partitions; NTFS on the first"
msr=E3C9E316-0B5C-4DB8-817D-F92DF00215AE; data=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
hostsim add-disk --size 80M --label gpt --part "size=16M,type=$msr" \
  --part "size=24M,type=$data" --part "size=24M,type=$data" >/dev/null
hostsim mkfs 1:1 >/dev/null
hostsim put 1:1 "$work/files/GPL-3.txt" /GPL-3.txt >/dev/null
server partition-list | grep "Disk 1" | sed 's/^/   /'
server backup "Disk 1 Partition 1" "$work/store" >"$work/gpt-backup.txt" || { cat "$work/gpt-backup.txt"; fail "GPT volume backup"; }
server restore "Disk 1 Partition 2" "$work/store" "from=Disk 1 Partition 1" >"$work/gpt-restore.txt" \
  || { cat "$work/gpt-restore.txt"; fail "GPT volume restore"; }
dd if="$work/host/disks/1.img" of="$work/gpt-restored.img" bs=1M skip=41 count=24 status=none
cmp -s "$work/files/GPL-3.txt" <(ntfscat -f "$work/gpt-restored.img" /GPL-3.txt) || fail "GPT volume restore differs"
echo "   Disk 1 Partition 1 restored onto Disk 1 Partition 2; GPL-3.txt identical"
server init "$work/tables" >/dev/null
server partition-backup 1 "$work/tables" | grep "^partition table" | sed "s/^/   /"
hostsim add-disk --size 120M >/dev/null
server partition-restore 2 "$work/tables" 1 | grep "^partition table" | sed "s/^/   /"
sgdisk --verify "$work/host/disks/2.img" | grep -q "No problems found" || fail "sgdisk finds problems in the restored GPT"
[ "$(sfdisk --dump "$work/host/disks/1.img" | grep -o 'start=.*')" = \
  "$(sfdisk --dump "$work/host/disks/2.img" | grep -o 'start=.*')" ] || fail "the restored GPT has other partitions"
echo "   GPT of disk 1 rebuilt on the larger blank disk 2: sgdisk --verify finds no problems"

echo "== stopping the agent (SIGTERM)"
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
[ "$status" -eq 0 ] || fail "the agent exited with status $status"
grep -q "Agent stopped" "$work/agent/log/zentrad.log" || fail "the agent did not stop in order"

echo "== summary"
grep -hE "^(full|incremental|digest-compared):" "$work/full.txt" "$work/incremental.txt" | sed 's/^/   /'
grep -hiE "MB/s|MiB/s" "$work/restore.txt" "$work/files-restore.txt" | sed 's/^/   /'
echo "demo: full and incremental backups, volume restore and file restore verified byte for byte"
