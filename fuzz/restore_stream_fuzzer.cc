// fuzz-libs: blocks
// A restore's block stream as a server might send it (batch announcements, block records,
// batch digests, the end of the stream), through the whole restore pipeline onto an
// in-memory partition of 64 blocks. The first byte chooses the block size (512 B to 4 KiB),
// whether blocks are enciphered and the largest batch; the rest is a wire script (see
// FuzzWire.h).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzWire.h"
#include "MemoryDevice.h"
#include "blocks/RestorePipeline.h"
#include "crypto/CryptoLibrary.h"

namespace {

struct Fixture {
    Fixture() { crypto::CryptoLibrary::initialise(); }
    crypto::KeyMsg key{1, std::string(16, 'k'), std::string(8, 'v')};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    if (size < 1 || size > fuzz::kMaxScriptBytes)
        return 0;
    blocks::BlockStreamFormat format;
    format.blockSize = 512u << (data[0] & 3);
    format.encrypted = (data[0] & 4) != 0;
    format.maxBlocks = 1u + ((data[0] >> 3) & 15);
    fuzz::WireConnection wire;
    if (!wire.open())
        return 0;
    wire.feed(data + 1, size - 1);
    auto device = std::make_unique<fuzz::MemoryDevice>("", 64 * format.blockSize);
    blocks::RestorePartition partition(platform::FileHandle(std::move(device)), 0,
                                       64 * format.blockSize);
    net::EncryptedMessage message(*wire.agent, wire.agent->protocolKey());
    try {
        blocks::receiveBlockStream(*wire.agent, message, format, fixture.key, partition);
    } catch (const std::exception&) {
    }
    return 0;
}
