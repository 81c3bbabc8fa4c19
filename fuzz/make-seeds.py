#!/usr/bin/env python3
"""Writes the seed inputs of the wire-script fuzz targets (see fuzz/FuzzWire.h): well-formed
exchanges of every request and stream the targets read, so that mutation starts from inputs
that pass the envelope and reach each parser. Run from anywhere; rewrites fuzz/seeds/."""
import hashlib
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")


def u8(v): return struct.pack(">B", v)
def u16(v): return struct.pack(">H", v)
def u32(v): return struct.pack(">I", v)
def u64(v): return struct.pack(">Q", v)
def string(s): return u32(len(s)) + s
def raw(b): return u8(0) + u16(len(b)) + b
def enc(b): return u8(1) + u16(len(b)) + b


PROT = {
    "ACK": 0xE1E7E5F1, "FINISHED": 0xE1E7E5F4, "SERVER_INFO": 0xE1E7E608,
    "SERVER_INFO_END": 0xE1E7E609, "SERVER_INFO_ITEM": 0xE1E7E60A,
    "SERVER_INFO_VALUE": 0xE1E7E60B, "AUTH_SERVER_LIST": 0xE1E7E60D, "ECHO": 0xE1E7E63E,
    "KEYS_GET": 0xE1E7E6F0, "RESTORE": 0xE1E7E77E, "RESTORE_END": 0xE1E7E77F,
    "BACKUP": 0xE1E7E8EE, "BLOCKSUMS_END": 0xE1E7E93F, "BLOCKSUMS": 0xE1E7E940,
    "BLOCKSUMS_DIGEST": 0xE1E7E941, "BLOCKS": 0xE1E7EBEE, "PARTITION_BACKUP": 0xE1E7ECEE,
    "PARTITION_RESTORE": 0xE1E7ECEF, "SECTOR": 0xE1E7ECF1, "FILE_RESTORE": 0xE1E7EDEE,
    "PARTITION_LIST": 0xE1E7EEEE, "BLOCK_STREAM": 0xE1E7EAEE, "BLOCK_DIGEST": 0xE1E7EAEF,
}
DEVICE = b"Disk 0 Partition 0"


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def finished(): return raw(u32(PROT["FINISHED"]))


def requests():
    backup = u32(PROT["BACKUP"]) + u32(1) + string(DEVICE) + u32(1) + u32(6) + u32(0) + \
        u32(0) + u32(0) + bytes(56)
    restore = u32(PROT["RESTORE"]) + u32(0) * 3 + string(DEVICE) + string(b"") + string(b"") + \
        u32(4096) + u64(0) + u32(0) + u32(256) + u32(1) + u8(0) + u8(0) + u8(1) + \
        u16(1) + u16(16) + b"k" * 16 + u16(8) + b"v" * 8
    file_restore = u32(PROT["FILE_RESTORE"]) + u32(0) * 3 + string(b"C:\\restore") + \
        string(DEVICE) + string(b"") + u32(0)
    partition_restore = u32(PROT["PARTITION_RESTORE"]) + u32(0) * 3 + string(b"Disk 0") + \
        string(b"") + string(b"") + u32(512) + u32(1)
    sector = raw(u32(PROT["SECTOR"]) + u64(0) + bytes(510) + b"\x55\xaa")
    allow = u32(PROT["AUTH_SERVER_LIST"]) + u32(2) + string(b"10.0.0.1") + string(b"key one") + \
        string(b"fe80::1") + string(b"key two") + u32(PROT["AUTH_SERVER_LIST"])
    info = enc(u32(PROT["SERVER_INFO_ITEM"]) + string(b"name")) + \
        enc(u32(PROT["SERVER_INFO_VALUE"]) + string(b"value")) + enc(u32(PROT["SERVER_INFO_END"]))
    write("requests_fuzzer", "backup", enc(backup) + finished())
    write("requests_fuzzer", "restore", enc(restore) + finished())
    write("requests_fuzzer", "file-restore", enc(file_restore) + finished())
    write("requests_fuzzer", "partition-restore", enc(partition_restore) + sector + finished())
    write("requests_fuzzer", "partition-backup",
          enc(u32(PROT["PARTITION_BACKUP"]) + u32(0) * 3 + string(b"Disk 0")) + finished())
    write("requests_fuzzer", "allow-list", enc(allow) + finished())
    write("requests_fuzzer", "server-info", enc(u32(PROT["SERVER_INFO"])) + info + finished())
    write("requests_fuzzer", "echo-list",
          enc(u32(PROT["ECHO"])) + enc(u32(PROT["PARTITION_LIST"])) + finished())


def record(index, data):
    digest = hashlib.md5(data).digest()
    return u64(index) + u8(0) + digest + u32(len(data)) + data


def restore_stream():
    # First byte: block size 512 (0), plain, at most 2 blocks per batch (bits 3..6 = 1).
    blocks = [record(0, b"a" * 512), record(5, b"b" * 512)]
    body = b"".join(blocks)
    batch = enc(u32(PROT["BLOCKS"]) + u16(2)) + raw(u32(PROT["BLOCK_STREAM"]) + body +
                                                     u32(PROT["BLOCK_DIGEST"]) +
                                                     hashlib.md5(body).digest())
    end = enc(u32(PROT["RESTORE_END"]) + u32(0))
    write("restore_stream_fuzzer", "two-blocks", u8(0x08) + batch + end)
    write("restore_stream_fuzzer", "empty", u8(0x08) + end)


def digest_download():
    records = b"".join(u32(i) + hashlib.md5(bytes([i])).digest() for i in (1, 2, 9))
    batch = raw(u32(PROT["BLOCKSUMS"]) + u32(3) + records + u32(PROT["BLOCKSUMS_DIGEST"]) +
                hashlib.md5(records).digest())
    announce = raw(u32(PROT["ACK"])) + enc(u32(0) + u64(16) + u32(4))
    write("digest_download_fuzzer", "one-batch",
          u16(15) + announce + batch + raw(u32(PROT["BLOCKSUMS_END"])))


def partition_table():
    mbr = bytearray(512)
    # A primary NTFS partition at sector 64 and an extended one with one logical partition.
    mbr[446:462] = bytes([0, 0, 0, 0, 0x07, 0, 0, 0]) + struct.pack("<II", 64, 64)
    mbr[462:478] = bytes([0, 0, 0, 0, 0x05, 0, 0, 0]) + struct.pack("<II", 128, 128)
    mbr[510:512] = b"\x55\xaa"
    ebr = bytearray(512)
    ebr[446:462] = bytes([0, 0, 0, 0, 0x07, 0, 0, 0]) + struct.pack("<II", 8, 64)
    ebr[510:512] = b"\x55\xaa"
    disk = bytes(mbr) + bytes(512 * 127) + bytes(ebr)
    write("partition_table_fuzzer", "primary-and-logical", u8(1) + disk)


requests()
restore_stream()
digest_download()
partition_table()
