#include "util/ByteReader.h"

#include <gtest/gtest.h>

#include "common/ExpectThrow.h"
#include "platform/ByteOrder.h"
#include "util/UtilException.h"

namespace {

TEST(BigEndianTest, WireExamples) {
    std::string out;
    platform::appendU64(out, 4294967298ull);
    EXPECT_EQ(out, std::string("\0\0\0\1\0\0\0\2", 8));
    out.clear();
    platform::appendU32(out, 0xE1E7E5F5);
    platform::appendU16(out, 0x0102);
    EXPECT_EQ(out, "\xE1\xE7\xE5\xF5\x01\x02");
    EXPECT_EQ(platform::loadU32(out.data()), 0xE1E7E5F5u);
    EXPECT_EQ(platform::loadU16(out.data() + 4), 0x0102);
}

// The width-taking forms serve the wire's 1..8-byte fields and the disks' little-endian
// ones: a value wider than its field keeps only its low bytes, and both orders read back.
TEST(ByteOrderTest, FieldsOfAnyWidthInBothOrders) {
    std::string out;
    platform::appendBigEndian(out, 0x1122334455ull, 3);
    EXPECT_EQ(out, "\x33\x44\x55");
    unsigned char field[8] = {};
    platform::storeBigEndian(field + 1, 0xA1B2C3D4E5ull, 5);
    EXPECT_EQ(platform::loadBigEndian(field + 1, 5), 0xA1B2C3D4E5ull);
    EXPECT_EQ(field[0], 0);
    EXPECT_EQ(field[6], 0);
    const unsigned char entry[] = {0x3F, 0x00, 0x00, 0x80, 0x01, 0x02, 0x03, 0x84};
    EXPECT_EQ(platform::loadLittleEndian(entry, 4), 0x8000003Full);
    EXPECT_EQ(platform::loadLittleEndian(entry, 8), 0x840302018000003Full);
    EXPECT_EQ(platform::loadBigEndian(entry, 8), 0x3F00008001020384ull);
}

TEST(ByteReaderTest, ReadsFieldsInOrder) {
    std::string bytes;
    platform::appendU16(bytes, 7);
    platform::appendU64(bytes, 0x0102030405060708ull);
    platform::appendU32(bytes, 3);
    bytes += "abc";
    bytes += '\xff';
    util::ByteReader reader(bytes);
    EXPECT_EQ(reader.readU16(), 7);
    EXPECT_EQ(reader.readU64(), 0x0102030405060708ull);
    EXPECT_EQ(reader.readString(), "abc");
    EXPECT_EQ(reader.readU8(), 0xff);
    EXPECT_TRUE(reader.atEnd());
}

TEST(ByteReaderTest, UnderrunThrowsAndKeepsThePosition) {
    const std::string bytes("\0\0\0\x10xyz", 7);  // a string that claims 16 bytes
    util::ByteReader reader(bytes);
    EXPECT_THROW_TEXT(reader.readString(), "Buffer underrun when attempting to read (20) bytes");
    EXPECT_EQ(reader.position(), 0u);
    EXPECT_THROW(util::ByteReader(bytes.substr(4)).readU32(), util::UtilException);
    EXPECT_THROW(util::ByteReader(std::string(1, '\x05')).readShortBytes(), util::UtilException);
}

}  // namespace
