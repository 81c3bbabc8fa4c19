// fuzz-libs: blocks
// The server's block digests for a digest-compared backup (announcement, batches of block
// numbers and digests, batch digests, the end), whatever their bytes. The first two bytes
// give the volume's block count (1 to 65536); the rest is a wire script (see FuzzWire.h).
// The digests kept must stay within the volume.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "FuzzWire.h"
#include "blocks/BlockSumDownload.h"
#include "crypto/CryptoLibrary.h"

namespace {

struct Fixture {
    Fixture() {
        crypto::CryptoLibrary::initialise();
        dir = std::filesystem::temp_directory_path() /
              ("zentrad-digest-fuzzer-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    std::filesystem::path dir;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    if (size < 2 || size > fuzz::kMaxScriptBytes)
        return 0;
    std::uint64_t blockCount = 1 + ((std::uint64_t{data[0]} << 8) | data[1]);
    fuzz::WireConnection wire;
    if (!wire.open())
        return 0;
    wire.feed(data + 2, size - 2);
    try {
        blocks::BlockSumManager manager(fixture.dir / "temp", "Disk 0 Partition 0", blockCount);
        blocks::downloadBlockSums(*wire.agent, manager);
    } catch (const std::exception&) {
    }
    return 0;
}
