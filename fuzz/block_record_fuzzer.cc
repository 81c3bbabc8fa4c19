// fuzz-libs: blocks
// A block record as a peer might send it: the header is parsed with the receiver's bounds,
// the data made into a block, deciphered and inflated. Whatever the bytes, this must end
// in a result or an exception, never in a read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "blocks/BlockRecord.h"
#include "crypto/CryptoLibrary.h"

namespace {

struct Setup {
    Setup() { crypto::CryptoLibrary::initialise(); }
    crypto::KeyMsg key{1, std::string(16, 'k'), std::string(8, 'v')};
    crypto::CipherContext cipher;
    blocks::InflateStream inflater;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size < 2 + blocks::kBlockRecordHeaderBytes)
        return 0;
    // The first two bytes choose the block size (512 to 64 KiB) and the encryption flag.
    std::uint64_t blockSize = 512u << (data[0] % 8);
    bool encrypted = data[1] & 1;
    data += 2;
    size -= 2;
    blocks::BlockRecordHeaderBytes header;
    std::memcpy(header.data(), data, header.size());
    data += header.size();
    size -= header.size();
    try {
        auto parsed = blocks::parseBlockRecordHeader(header, blockSize, encrypted);
        if (parsed.length > size)
            return 0;
        auto block = blocks::blockFromRecord(parsed, blockSize, encrypted, data);
        block->decrypt(setup.key, setup.cipher);
        block->inflate(setup.inflater);
        if (block->length() > blockSize)
            __builtin_trap();
    } catch (const std::exception&) {
    }
    return 0;
}
