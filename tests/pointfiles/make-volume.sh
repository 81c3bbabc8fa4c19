#!/usr/bin/env bash
# Makes an NTFS image holding every kind of file the point reader must handle, written
# by ntfs-3g through FUSE:   make-volume.sh IMAGE [SIZE_MIB]
# Exit 77 when FUSE or ntfs-3g is unavailable here (the caller skips).
set -euo pipefail
image="$1"; size="${2:-64}"
[ -w /dev/fuse ] && command -v ntfs-3g >/dev/null && command -v mkntfs >/dev/null || exit 77
rm -f "$image"
truncate -s "${size}M" "$image"
mkntfs -F -Q -q -c 4096 -s 512 "$image" >/dev/null 2>&1
mnt="$(mktemp -d)"
ntfs-3g -o no_detach,streams_interface=windows,efs_raw,compression "$image" "$mnt" \
  >/dev/null 2>&1 &
pid=$!
cleanup() {
  if mountpoint -q "$mnt"; then umount "$mnt" || kill "$pid"; fi
  wait "$pid" 2>/dev/null || true
  rmdir "$mnt"
}
trap cleanup EXIT
for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.05; done
mountpoint -q "$mnt" || exit 77
python3 - "$mnt" <<'PY'
import os, random, struct, sys
root = sys.argv[1]
os.chdir(root)
rnd = random.Random(29)
def data(n): return bytes(rnd.getrandbits(8) for _ in range(n)) if n < 4096 else rnd.randbytes(n)
def attrib(path, bits): os.setxattr(path, 'system.ntfs_attrib_be', struct.pack('>I', bits))
def reparse(path, tag, target, substitute, flags=None):
    t, s = target.encode('utf-16-le'), substitute.encode('utf-16-le')
    if flags is None:  # a junction: substitute name, then print name, each ending in a NUL
        body = struct.pack('<HHHH', 0, len(s), len(s) + 2, len(t)) + s + b'\0\0' + t + b'\0\0'
    else:
        body = struct.pack('<HHHHI', 0, len(s), len(s), len(t), flags) + s + t
    os.setxattr(path, 'system.ntfs_reparse_data', struct.pack('<IHH', tag, len(body), 0) + body)

open('small.txt', 'wb').write(b'a resident file\n' * 6)
os.utime('small.txt', (1577934245, 1577934245))          # 2020-01-02 03:04:05 UTC
open('big.bin', 'wb').write(data(3 << 20))
with open('sparse.bin', 'wb') as f:
    f.truncate(8 << 20); f.seek(1 << 20); f.write(data(100000)); f.seek(5 << 20); f.write(b'x' * 5000)
os.mkdir('comp'); attrib('comp', 0x10 | 0x800)
open('comp/text.txt', 'wb').write(b'compressible line of text, repeated. ' * 40000)
open('comp/mixed.bin', 'wb').write(data(200000) + b'z' * 300000)
open('ads.txt', 'wb').write(b'main stream\n')
open('ads.txt:secret', 'wb').write(b'the stream data\n')
open('ads.txt:Zone.Identifier', 'wb').write(b'[ZoneTransfer]\r\nZoneId=3\r\n' + data(5000))
os.mkdir('docs')
os.link('ads.txt', 'docs/hard link.txt')
open('docs/report.doc', 'wb').write(data(70000))
open('readonly.txt', 'wb').write(b'do not change\n'); attrib('readonly.txt', 0x21)
open('hidden.txt', 'wb').write(b'hidden\n'); attrib('hidden.txt', 0x22)
os.makedirs('Grüße')
open('Grüße/日本語 ファイル.txt', 'wb').write('こんにちは\n'.encode())
open('Grüße/emoji 😀.txt', 'wb').write(data(1000))
long = os.path.join('long', *[('%02d-' % i) + 'x' * 56 for i in range(5)])
os.makedirs(long)
open(os.path.join(long, 'f' * 100 + '.txt'), 'wb').write(b'far away\n')
deep = os.path.join('deep', *['d%d' % i for i in range(40)])
os.makedirs(deep)
open(os.path.join(deep, 'leaf.txt'), 'wb').write(b'deep leaf\n')
os.mkdir('many')
for i in range(150):
    open('many/file%03d.txt' % i, 'wb').write(b'%d\n' % i)
open('winlink', 'wb').close()
reparse('winlink', 0xA000000C, 'C:\\Windows\\System32\\drivers\\etc\\hosts',
        '\\??\\C:\\Windows\\System32\\drivers\\etc\\hosts', 0)
open('rellink', 'wb').close()
reparse('rellink', 0xA000000C, '..\\..\\outside', '..\\..\\outside', 1)
os.mkdir('junc')
reparse('junc', 0xA0000003, 'C:\\Users', '\\??\\C:\\Users')
open('enc.txt', 'wb').close()
blob = bytearray(200); struct.pack_into('<I', blob, 0, len(blob))
os.setxattr('enc.txt', 'system.ntfs_efsinfo', bytes(blob))
PY
