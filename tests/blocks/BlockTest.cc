#include "blocks/Block.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "BlocksTestSupport.h"
#include "blocks/BlockRecord.h"
#include "common/TestBytes.h"

namespace {

using blocks::Block;
using blocks::BlockBuffer;

constexpr std::uint64_t kSize = 4096;

std::shared_ptr<Block> blockOf(const std::vector<unsigned char>& bytes, bool compressed = false,
                               bool encrypted = false, std::uint64_t size = kSize) {
    BlockBuffer buffer = std::make_shared<unsigned char[]>(bytes.size() + 1);
    if (!bytes.empty())
        std::memcpy(buffer.get(), bytes.data(), bytes.size());
    return std::make_shared<Block>(7, size, buffer, bytes.size(), compressed, encrypted);
}

std::vector<unsigned char> randomBytes(std::size_t count) {
    std::string bytes = test::randomBytes(count, 42);
    return {bytes.begin(), bytes.end()};
}

std::vector<unsigned char> dataOf(const Block& block) {
    return {block.getData(), block.getData() + block.length()};
}

crypto::KeyMsg testKey() {
    return crypto::KeyMsg(1, std::string(16, '\x5a'), std::string(8, '\x01'));
}

// Noise does not fit in a block deflated and stays raw; the stream is reset after it, so
// the zeros that follow shrink, and come back whole.
TEST(BlockCompressionTest, NoiseStaysRawZerosShrinkAndComeBack) {
    blocks::DeflateStream deflater(9);
    blocks::InflateStream inflater;
    auto noise = randomBytes(kSize);
    auto block = blockOf(noise);
    block->deflate(deflater);
    EXPECT_FALSE(block->compressed());
    block->inflate(inflater);  // not compressed: nothing happens
    EXPECT_EQ(noise, dataOf(*block));

    auto zeros = blockOf(std::vector<unsigned char>(kSize, 0));
    zeros->deflate(deflater);
    EXPECT_TRUE(zeros->compressed());
    EXPECT_LT(zeros->length(), 64u);
    zeros->deflate(deflater);  // already compressed: unchanged
    EXPECT_LT(zeros->length(), 64u);
    zeros->inflate(inflater);
    EXPECT_FALSE(zeros->compressed());
    EXPECT_EQ(std::vector<unsigned char>(kSize, 0), dataOf(*zeros));
}

TEST(BlockCompressionTest, CorruptOrTruncatedStreamsFailAndTheStreamRecovers) {
    blocks::DeflateStream deflater(6);
    blocks::InflateStream inflater;
    auto good = blockOf(std::vector<unsigned char>(kSize, 'a'));
    good->deflate(deflater);
    auto compressed = dataOf(*good);

    test::LogCapture log;
    auto garbage = blockOf({0x78, 0x9c, 0xff, 0xff, 0x00, 0x13}, true);
    EXPECT_THROW_MESSAGE(garbage->inflate(inflater), "error during block inflation");
    EXPECT_TRUE(log.contains("corrupt data detected during inflate"));
    auto truncated = blockOf({compressed.begin(), compressed.end() - 3}, true);
    EXPECT_THROW_MESSAGE(truncated->inflate(inflater), "error during block inflation");
    // More output than a block holds must not be written past the buffer.
    auto oversized = blockOf(compressed, true, false, kSize / 2);
    EXPECT_THROW_MESSAGE(oversized->inflate(inflater), "error during block inflation");
    auto wrongSum = compressed;
    wrongSum.back() ^= 1;  // the stream's checksum no longer matches its data
    EXPECT_THROW_MESSAGE(blockOf(wrongSum, true)->inflate(inflater),
                         "error during block inflation");
    EXPECT_THROW_MESSAGE(blocks::DeflateStream(10), "zip stream init failed");

    good->inflate(inflater);
    EXPECT_EQ(std::vector<unsigned char>(kSize, 'a'), dataOf(*good));
}

TEST(BlockCipherTest, CipherTextIsPaddedToTheNextBlockAndDecryptsExactly) {
    auto key = testKey();
    crypto::CipherContext context;
    for (std::size_t length : {0u, 1u, 100u, 4095u, 4096u}) {
        auto plain = randomBytes(length);
        auto block = blockOf(plain);
        block->encrypt(key, context);
        EXPECT_TRUE(block->encrypted());
        EXPECT_EQ(length / 8 * 8 + 8, block->length()) << length;
        auto cipher = dataOf(*block);
        block->encrypt(key, context);  // twice enciphers once
        EXPECT_EQ(cipher, dataOf(*block));
        block->decrypt(key, context);
        EXPECT_FALSE(block->encrypted());
        EXPECT_EQ(plain, dataOf(*block));
        auto damaged = blockOf({cipher.begin(), cipher.end() - 1}, false, true);
        EXPECT_THROW_MESSAGE(damaged->decrypt(key, context), "error in decrypt final");
    }
}

// A deflated block is enciphered in its own buffer; a block sharing its buffer with another
// (a copy, a slice of a run) is enciphered into a new one and leaves the shared bytes as
// they were. Either way the cipher text is the same and deciphers to the plain text,
// whatever padding the deflated length needs.
TEST(BlockCipherTest, EncipheringInPlaceWritesWhatACopyWouldAndSharedDataStaysIntact) {
    auto key = testKey();
    crypto::CipherContext context;
    blocks::DeflateStream deflater(1);
    blocks::InflateStream inflater;
    std::vector<std::size_t> paddings;
    for (std::size_t tail = 0; tail < 24; ++tail) {
        auto plain = std::vector<unsigned char>(kSize - tail, 'q');
        auto noise = randomBytes(tail);
        plain.insert(plain.end(), noise.begin(), noise.end());
        auto block = blockOf(plain);
        block->deflate(deflater);
        ASSERT_TRUE(block->compressed());
        auto deflated = dataOf(*block);

        Block copy = *block;  // shares the deflated buffer
        copy.encrypt(key, context);
        EXPECT_EQ(deflated, dataOf(*block)) << tail;
        EXPECT_NE(copy.getData(), block->getData());

        const unsigned char* own = block->getData();
        block->encrypt(key, context);
        EXPECT_EQ(own, block->getData()) << tail;
        EXPECT_EQ(dataOf(copy), dataOf(*block)) << tail;
        paddings.push_back(block->length() - deflated.size());

        block->decrypt(key, context);
        block->inflate(inflater);
        ASSERT_EQ(plain, dataOf(*block)) << tail;
    }
    // Some deflated lengths were whole cipher blocks: their padding is a block of its own.
    EXPECT_NE(std::find(paddings.begin(), paddings.end(), 8u), paddings.end());

    // Two blocks sliced from one buffer, as a run's are: the first is enciphered into a new
    // buffer and its neighbour keeps its bytes.
    auto run = randomBytes(2 * kSize);
    BlockBuffer shared = std::make_shared<unsigned char[]>(2 * kSize);
    std::memcpy(shared.get(), run.data(), run.size());
    Block first(0, kSize, BlockBuffer(shared, shared.get()), kSize, false, false);
    first.encrypt(key, context);
    EXPECT_EQ(std::vector<unsigned char>(shared.get(), shared.get() + 2 * kSize), run);
    first.decrypt(key, context);
    EXPECT_EQ(dataOf(first), std::vector<unsigned char>(run.begin(), run.begin() + kSize));
}

TEST(BlockRecordTest, HeaderRoundTripsBigEndian) {
    auto block = blockOf({1, 2, 3}, true);
    block->setDigest({0xAA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xBB});
    auto bytes = blocks::encodeBlockRecordHeader(*block);
    EXPECT_EQ(7, bytes[7]);
    EXPECT_EQ(1, bytes[8]);
    EXPECT_EQ(0xAA, bytes[9]);
    EXPECT_EQ(0xBB, bytes[24]);
    EXPECT_EQ(3, bytes[28]);
    auto header = blocks::parseBlockRecordHeader(bytes, kSize, false);
    EXPECT_EQ(7u, header.index);
    EXPECT_TRUE(header.compressed);
    EXPECT_EQ(3u, header.length);
    EXPECT_EQ(block->getDigest(), header.digest);
    unsigned char data[3] = {1, 2, 3};
    auto copy = blocks::blockFromRecord(header, kSize, false, data);
    EXPECT_EQ(dataOf(*block), dataOf(*copy));
}

TEST(BlockRecordTest, LengthsAreBoundedBeforeAnythingIsAllocated) {
    blocks::BlockRecordHeaderBytes bytes{};
    auto withLength = [&bytes](std::uint32_t length) {
        for (int i = 0; i < 4; ++i)
            bytes[25 + i] = static_cast<unsigned char>(length >> (24 - 8 * i));
        return bytes;
    };
    EXPECT_EQ(0u, blocks::parseBlockRecordHeader(withLength(0), kSize, false).length);
    EXPECT_EQ(kSize, blocks::parseBlockRecordHeader(withLength(kSize), kSize, false).length);
    EXPECT_THROW_MESSAGE(
        blocks::parseBlockRecordHeader(withLength(kSize + 1), kSize, false),
        "Block stream error: block #0 length (4097) exceeds the block size (4096)");
    EXPECT_EQ(kSize + 8, blocks::parseBlockRecordHeader(withLength(kSize + 8), kSize, true).length);
    EXPECT_ANY_THROW(blocks::parseBlockRecordHeader(withLength(kSize + 9), kSize, true));
    EXPECT_ANY_THROW(blocks::parseBlockRecordHeader(withLength(0xFFFFFFFF), kSize, true));
    bytes = withLength(1);
    bytes[8] = 2;
    EXPECT_THROW_MESSAGE(blocks::parseBlockRecordHeader(bytes, kSize, false),
                         "Block stream error: invalid compressed flag (2)");
    EXPECT_THROW_MESSAGE(Block(0, Block::kMaxSize + 1), "Invalid block size (2097153)");
}

// Blocks travel as zlib streams, whichever library makes them: zlib itself must read
// what the agent deflates, and the agent must inflate what zlib made.
TEST(BlockCodecTest, DeflatedBlocksAreZlibStreamsBothWays) {
    std::string text;
    for (int i = 0; text.size() < 4096; ++i)
        text += "block " + std::to_string(i * 7919 % 1000) + " of a compressible cluster\n";
    text.resize(4096);
    for (int level : {1, 6, 9}) {
        SCOPED_TRACE(level);
        blocks::DeflateStream deflater(level);
        auto block = std::make_shared<blocks::Block>(3, 4096);
        std::copy(text.begin(), text.end(), const_cast<unsigned char*>(block->getData()));
        block->deflate(deflater);
        ASSERT_TRUE(block->compressed());
        std::vector<unsigned char> plain(4096);
        uLongf plainLength = plain.size();
        ASSERT_EQ(::uncompress(plain.data(), &plainLength, block->getData(), block->length()),
                  Z_OK);
        EXPECT_EQ(std::string(plain.begin(), plain.begin() + plainLength), text);

        std::vector<unsigned char> packed(compressBound(4096));
        uLongf packedLength = packed.size();
        ASSERT_EQ(::compress2(packed.data(), &packedLength,
                              reinterpret_cast<const Bytef*>(text.data()), text.size(), level),
                  Z_OK);
        auto data = std::make_shared<unsigned char[]>(packedLength);
        std::copy(packed.begin(), packed.begin() + packedLength, data.get());
        blocks::Block received(3, 4096, data, packedLength, true, false);
        blocks::InflateStream inflater;
        received.inflate(inflater);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(received.getData()), received.length()),
                  text);
    }
}

}  // namespace
