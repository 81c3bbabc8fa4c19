// Chunk files as they lie on disk: what a read accepts, and which blocks it names when a
// byte of the file is wrong.
#include <gtest/gtest.h>

#include <random>

#include "backup-server/store/ChunkFile.h"
#include "backup-server/store/PointIndex.h"
#include "backup-server/store/StoreError.h"
#include "blocks/Md5Stream.h"

namespace {

using backup_server::ChunkCodec;
using backup_server::ChunkShape;

constexpr ChunkShape kShape{4096, 8};

struct Chunk {
    std::vector<unsigned char> data;
    std::vector<blocks::BlockDigest> digests;
};

// Blocks 0-3 random (incompressible), 4-7 text-like.
Chunk makeChunk() {
    Chunk chunk;
    std::mt19937 random(5);
    chunk.data.resize(kShape.dataBytes());
    for (std::size_t i = 0; i < chunk.data.size(); ++i)
        chunk.data[i] = i < chunk.data.size() / 2 ? static_cast<unsigned char>(random())
                                                  : static_cast<unsigned char>('a' + i % 23);
    for (std::uint32_t b = 0; b < kShape.blocks; ++b) {
        blocks::Md5Stream md5;
        md5.update(chunk.data.data() + b * kShape.blockSize, kShape.blockSize);
        chunk.digests.push_back(md5.finish());
    }
    return chunk;
}

TEST(ChunkFileTest, RoundTripCompressesAndChecksEverything) {
    Chunk chunk = makeChunk();
    ChunkCodec codec;
    auto name = backup_server::chunkName(kShape, chunk.data.data());
    std::string file = codec.encode(kShape, chunk.data.data(), chunk.digests.data());
    EXPECT_LT(file.size(), chunk.data.size() * 3 / 4);  // the text half compresses
    std::vector<unsigned char> data(kShape.dataBytes());
    std::vector<blocks::BlockDigest> digests;
    EXPECT_FALSE(codec.decode(file, kShape, name, data.data(), digests));
    EXPECT_EQ(data, chunk.data);
    EXPECT_EQ(digests, chunk.digests);
    // The name covers the shape: the same bytes cut into other blocks are another chunk.
    EXPECT_NE(backup_server::chunkName({2048, 16}, chunk.data.data()), name);
    // A shape other than the index's is refused before anything is decompressed.
    std::vector<blocks::BlockDigest> none;
    std::string problem;
    EXPECT_FALSE(codec.readDigests(file, {4096, 7}, none, problem));
    EXPECT_EQ(problem, "chunk header does not match the index");
}

// Blocks of 64 KiB take version 2 of both files; smaller blocks keep version 1, as servers
// that know only version 1 wrote and read them; a file claiming the other version is refused.
TEST(ChunkFileTest, SixtyFourKiBBlocksTakeVersionTwoAndSmallerBlocksKeepVersionOne) {
    ChunkCodec codec;
    for (ChunkShape shape : {kShape, ChunkShape{65536, 2}}) {
        SCOPED_TRACE(shape.blockSize);
        std::vector<unsigned char> data(shape.dataBytes(), 'z');
        std::vector<blocks::BlockDigest> digests(shape.blocks);
        for (auto& digest : digests) {
            blocks::Md5Stream md5;
            md5.update(data.data(), shape.blockSize);
            digest = md5.finish();
        }
        const char version = shape.blockSize == 65536 ? 2 : 1;
        std::string file = codec.encode(shape, data.data(), digests.data());
        EXPECT_EQ(file[5], version);
        std::vector<unsigned char> out(shape.dataBytes());
        std::vector<blocks::BlockDigest> read;
        EXPECT_FALSE(codec.decode(file, shape, backup_server::chunkName(shape, data.data()),
                                  out.data(), read));
        file[5] = static_cast<char>(3 - version);
        std::string problem;
        EXPECT_FALSE(codec.readDigests(file, shape, read, problem));
        EXPECT_EQ(problem, "unknown chunk version");

        backup_server::PointGeometry geometry = backup_server::geometryFor(shape.blockSize, 1000);
        std::string header = backup_server::encodeIndexHeader(geometry);
        EXPECT_EQ(header[5], version);
        auto bytes = reinterpret_cast<const unsigned char*>(header.data());
        const std::uint64_t fileSize =
            backup_server::kIndexHeaderBytes + 32 * geometry.chunkCount() + (1000 + 7) / 8 + 32;
        EXPECT_EQ(backup_server::parseIndexHeader(bytes, fileSize), geometry);
        header[5] = static_cast<char>(3 - version);
        EXPECT_THROW(backup_server::parseIndexHeader(bytes, fileSize), backup_server::StoreError);
    }
}

TEST(ChunkFileTest, DamageNamesTheBlocksItReaches) {
    Chunk chunk = makeChunk();
    ChunkCodec codec;
    auto name = backup_server::chunkName(kShape, chunk.data.data());
    const std::string file = codec.encode(kShape, chunk.data.data(), chunk.digests.data());
    std::vector<unsigned char> data(kShape.dataBytes());
    std::vector<blocks::BlockDigest> digests;
    auto decode = [&](const std::string& bytes) {
        return codec.decode(bytes, kShape, name, data.data(), digests);
    };
    // A byte of block 5's digest: only block 5 is named.
    std::string digestFlip = file;
    digestFlip[backup_server::kChunkHeaderBytes + 16 * 5 + 3] ^= 1;
    auto damage = decode(digestFlip);
    ASSERT_TRUE(damage);
    EXPECT_EQ(damage->blocks, std::vector<std::uint32_t>{5});
    EXPECT_EQ(damage->problem, "block digests damaged");
    // A byte of the compressed data: zstd's checksum refuses the frame; every block.
    std::string dataFlip = file;
    dataFlip[file.size() - 100] ^= 0x10;
    damage = decode(dataFlip);
    ASSERT_TRUE(damage);
    EXPECT_EQ(damage->blocks.size(), kShape.blocks);
    // Cut short, grown, or under another name.
    for (const std::string& bad :
         {file.substr(0, file.size() - 1), file + "x", file.substr(0, 10)}) {
        damage = decode(bad);
        ASSERT_TRUE(damage);
        EXPECT_EQ(damage->blocks.size(), kShape.blocks);
    }
    auto other = name;
    other[0] ^= 1;
    damage = codec.decode(file, kShape, other, data.data(), digests);
    ASSERT_TRUE(damage);
    EXPECT_EQ(damage->problem, "data does not match the chunk's name");
}

}  // namespace
