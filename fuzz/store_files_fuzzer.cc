// fuzz-libs: store
// The files of a backup store as a damaged disk might hand them back: a chunk file
// decoded against a shape and a name, a point index header parsed and a whole index file
// read. Whatever the bytes, this must end in a result or an exception, never in a read or
// write out of bounds or an allocation the bytes alone decide.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "backup-server/store/ChunkFile.h"
#include "backup-server/store/PointIndex.h"
#include "crypto/CryptoLibrary.h"

namespace {

struct Setup {
    Setup() {
        crypto::CryptoLibrary::initialise();
        file = std::filesystem::temp_directory_path() /
               ("store-fuzz-" + std::to_string(::getpid()) + ".index");
    }
    ~Setup() { std::filesystem::remove(file); }
    backup_server::ChunkCodec codec;
    std::filesystem::path file;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size < 1)
        return 0;
    // The first byte chooses what is tried; the rest is the file.
    std::uint8_t what = data[0] % 3;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        if (what == 0 && bytes.size() >= backup_server::kChunkHeaderBytes) {
            // The shape the index would expect: the one the header claims, when an index
            // could hold it (the decoder must still check it against the file).
            auto header = reinterpret_cast<const unsigned char*>(bytes.data());
            auto field = [&](int at) {
                return std::uint32_t{header[at]} << 24 | header[at + 1] << 16 |
                       header[at + 2] << 8 | header[at + 3];
            };
            backup_server::ChunkShape shape{field(8), field(12)};
            if (shape.blockSize < 512 || shape.blockSize > backup_server::kMaxBlockSize ||
                shape.blocks == 0 || shape.blocks > backup_server::kMaxChunkBlocks ||
                shape.dataBytes() > backup_server::kMaxChunkBytes) {
                return 0;
            }
            std::vector<unsigned char> out(shape.dataBytes());
            std::vector<blocks::BlockDigest> digests;
            backup_server::Sha256Digest name{};
            setup.codec.decode(bytes, shape, name, out.data(), digests);
        } else if (what == 1 && bytes.size() >= backup_server::kIndexHeaderBytes) {
            auto header = reinterpret_cast<const unsigned char*>(bytes.data());
            backup_server::parseIndexHeader(header, bytes.size());
        } else {
            std::ofstream(setup.file, std::ios::binary | std::ios::trunc) << bytes;
            backup_server::PointIndexReader reader(setup.file);
            reader.entry(0);
        }
    } catch (const std::exception&) {
    }
    return 0;
}
