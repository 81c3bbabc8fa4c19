// fuzz-libs: backup_server
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

#include "backup-server/ChunkFile.h"
#include "backup-server/PointIndex.h"
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
    if (size < 2)
        return 0;
    // The first byte chooses the shape the index would expect, the second what is tried.
    backup_server::ChunkShape shape{512u << (data[0] % 7), 1u + data[0] / 7};
    std::uint8_t what = data[1] % 3;
    std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    try {
        if (what == 0) {
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
