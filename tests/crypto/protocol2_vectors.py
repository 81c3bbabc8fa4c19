#!/usr/bin/env python3
# Prints the protocol version 2 test vectors of SecureChannelTest.cc (protocol2_vectors.txt),
# computed independently of the agent with the Python "cryptography" package:
#   python3 tests/crypto/protocol2_vectors.py > tests/crypto/protocol2_vectors.txt
from cryptography.hazmat.primitives.kdf.hkdf import HKDF
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
import hashlib, struct

def hkdf(secret, salt, info, n):
    return HKDF(algorithm=hashes.SHA256(), length=n, salt=salt, info=info).derive(secret)

secret = bytes(range(32))
transcript = b"zentrad protocol 2" + struct.pack(">II", 0x00010020, 0x00020020) + struct.pack(">I", 5) + b"hello"
th = hashlib.sha256(transcript).digest()
a2s = hkdf(secret, th, b"zentrad v2 agent to server", 44)
s2a = hkdf(secret, th, b"zentrad v2 server to agent", 44)
print("transcript_hash", th.hex())
print("agent_to_server_key", a2s[:32].hex()); print("agent_to_server_iv", a2s[32:].hex())
print("server_to_agent_key", s2a[:32].hex()); print("server_to_agent_iv", s2a[32:].hex())
def nonce(iv, high, low):
    x = struct.pack(">IQ", high, low)
    return bytes(a ^ b for a, b in zip(iv, x))
# message 1 agent->server, plain "PROT"
msg = bytes.fromhex("e1e7e5f1") + b"\x00\x01"
sealed = AESGCM(a2s[:32]).encrypt(nonce(a2s[32:], 0, 1), msg, None)
print("message1_plain", msg.hex()); print("message1_sealed", sealed.hex())
# block sealer for request 7, server->agent
request = 7
sub = hkdf(s2a[:32], None, b"zentrad v2 blocks" + struct.pack(">Q", request), 44)
print("blocks_key", sub[:32].hex()); print("blocks_iv", sub[32:].hex())
data = bytes((i * 7) & 0xFF for i in range(64))
digest = hashlib.md5(data).digest()
batch, position, index, compressed = 3, 2, 0x123456789, 0
aad = struct.pack(">QQIQBI", request, batch, position, index, compressed, len(data)) + digest
sealed = AESGCM(sub[:32]).encrypt(nonce(sub[32:], position, batch), data, aad)
print("block_aad", aad.hex()); print("block_sealed", sealed.hex())
