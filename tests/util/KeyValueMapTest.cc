#include "util/KeyValueMap.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "common/TestBytes.h"

namespace {

using util::KeyValueMap;

std::string bytesOf(const util::ISerializable& value) {
    std::string bytes(value.serializedSize(), '\0');
    std::uint32_t offset = 0;
    EXPECT_TRUE(value.serialize(bytes.data(), &offset, static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(offset, bytes.size());
    return bytes;
}

TEST(KeyValueTypesTest, EveryTypeHasItsTagPayloadAndSize) {
    struct Case {
        std::unique_ptr<util::ValueStruct> value;
        std::string hex;
    };
    Case cases[] = {
        {std::make_unique<util::StringValue>("abc"), "0000000100000003616263"},
        {std::make_unique<util::StringValue>(""), "0000000100000000"},
        {std::make_unique<util::Uint8Value>(0xAB), "00000002ab"},
        {std::make_unique<util::Int8Value>(-2), "00000003fe"},
        {std::make_unique<util::Uint16Value>(0x0102), "000000040102"},
        {std::make_unique<util::Int16Value>(-2), "00000005fffe"},
        {std::make_unique<util::Uint32Value>(0x01020304), "0000000601020304"},
        {std::make_unique<util::Int32Value>(-1), "00000007ffffffff"},
        {std::make_unique<util::Uint64Value>(0x0102030405060708), "000000080102030405060708"},
        {std::make_unique<util::Int64Value>(-2), "00000009fffffffffffffffe"},
        {std::make_unique<util::BoolValue>(true), "0000000a01"},
        {std::make_unique<util::BoolValue>(false), "0000000a00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(test::hex(bytesOf(*c.value)), c.hex);
        EXPECT_EQ(c.value->serializedSize() * 2, c.hex.size());
        // The payload reads back into a fresh value of the class the tag names.
        std::string bytes = bytesOf(*c.value);
        auto copy = util::ValueStruct::create(c.value->type());
        ASSERT_NE(copy, nullptr);
        std::uint32_t offset = 4;
        ASSERT_TRUE(
            copy->deserialize(bytes.data(), &offset, static_cast<std::uint32_t>(bytes.size())));
        EXPECT_EQ(offset, bytes.size());
        EXPECT_EQ(bytesOf(*copy), bytes);
    }
    EXPECT_EQ(util::ValueStruct::create(0), nullptr);
    EXPECT_EQ(util::ValueStruct::create(11), nullptr);
}

TEST(KeyValueMapTest, RecordsHaveTheExactWireBytes) {
    KeyValueMap map;
    EXPECT_EQ(map.serializedSize(), 4u);
    EXPECT_EQ(map.toBytes(), std::string(4, '\0'));

    map.put<util::BoolValue>("isDirectory", true);
    EXPECT_EQ(map.serializedSize(), 24u);
    EXPECT_EQ(map.toBytes(), std::string("\0\0\0\1\0\0\0\x0BisDirectory\0\0\0\x0A\1", 24));

    // Entries go out in byte-wise key order, whatever the order of insertion.
    KeyValueMap ordered;
    ordered.put<util::Uint8Value>("b", 2);
    ordered.put<util::Uint8Value>("B", 1);
    ordered.put<util::Uint8Value>("a", 3);
    EXPECT_EQ(test::hex(*ordered.toBytes()),
              "00000003"
              "0000000142"
              "0000000201"
              "0000000161"
              "0000000203"
              "0000000162"
              "0000000202");
}

KeyValueMap everyType() {
    KeyValueMap map;
    map.put<util::StringValue>("filePath", std::string("dir\\f\xC3\xBCr.txt"));
    map.put<util::Uint8Value>("u8", 200);
    map.put<util::Int8Value>("s8", -100);
    map.put<util::Uint16Value>("mftFlags", 0xBEEF);
    map.put<util::Int16Value>("s16", -30000);
    map.put<util::Uint32Value>("attrFlags", 0x20);
    map.put<util::Int32Value>("s32", -2000000000);
    map.put<util::Uint64Value>("fileSize", 0xFFFFFFFFFFFFFFFFull);
    map.put<util::Int64Value>("s64", -5);
    map.put<util::BoolValue>("isDirectory", false);
    return map;
}

TEST(KeyValueMapTest, RoundTripKeepsEveryValueAndAdvancesTheOffset) {
    std::string record = *everyType().toBytes();
    std::string framed = "xyz" + record + "tail";
    KeyValueMap map;
    std::uint32_t offset = 3;
    ASSERT_TRUE(map.deserialize(framed.data(), &offset, static_cast<std::uint32_t>(framed.size())));
    EXPECT_EQ(offset, 3 + record.size());
    EXPECT_EQ(map.size(), 10u);
    // The record written again is byte for byte the one read: every value came back.
    EXPECT_EQ(*map.toBytes(), record);
    EXPECT_EQ(map.findAs<util::StringValue>("filePath")->value, "dir\\f\xC3\xBCr.txt");
    EXPECT_EQ(map.findAs<util::Uint64Value>("fileSize")->value, 0xFFFFFFFFFFFFFFFFull);
    // A typed look-up of the wrong class or a missing key finds nothing.
    EXPECT_EQ(map.findAs<util::StringValue>("attrFlags"), nullptr);
    EXPECT_EQ(map.findAs<util::Uint64Value>("absent"), nullptr);
    // fromBytes insists on the whole buffer being one record.
    EXPECT_TRUE(map.fromBytes(record));
    EXPECT_FALSE(map.fromBytes(record + "x"));
    EXPECT_TRUE(map.empty());
}

TEST(KeyValueMapTest, SerialisingIntoTooSmallABufferFails) {
    KeyValueMap map = everyType();
    std::string buffer(map.serializedSize(), '\0');
    for (std::uint32_t size = 0; size < buffer.size(); ++size) {
        std::uint32_t offset = 0;
        EXPECT_FALSE(map.serialize(buffer.data(), &offset, size)) << size;
        EXPECT_EQ(offset, 0u);
    }
    // An offset at or beyond the end leaves no room either.
    std::uint32_t offset = 10;
    EXPECT_FALSE(KeyValueMap().serialize(buffer.data(), &offset, 8));
}

// Deserialises bytes into a map that held something, and expects failure that leaves the
// map empty and the offset where it was.
void expectRejected(const std::string& bytes) {
    KeyValueMap map = everyType();
    std::uint32_t offset = 0;
    EXPECT_FALSE(map.deserialize(bytes.data(), &offset, static_cast<std::uint32_t>(bytes.size())))
        << test::hex(bytes);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(offset, 0u);
}

TEST(KeyValueMapTest, MalformedRecordsFailAndLeaveTheMapEmpty) {
    using namespace std::string_literals;
    expectRejected("\0\0\0\1\0\0\0\1k\0\0\0\x0B\1"s);          // tag 11
    expectRejected("\0\0\0\1\0\0\0\1k\0\0\0\0\1"s);            // tag 0
    expectRejected("\0\0\0\2\0\0\0\1k\0\0\0\x02\1"s);          // two entries declared, one held
    expectRejected("\0\0\0\1\xFF\xFF\xFF\xFFk\0\0\0\x02\1"s);  // key longer than the record
    expectRejected("\0\0\0\1\0\0\0\1k\0\0\0\1\x80\0\0\0ab"s);  // string longer than the record
    expectRejected("\0\0\0"s);
    // Every proper prefix of a valid record is rejected.
    std::string record = *everyType().toBytes();
    for (std::size_t size = 0; size < record.size(); ++size)
        expectRejected(record.substr(0, size));
}

TEST(KeyValueMapTest, EdgeCountsDuplicatesAndFlagBytes) {
    using namespace std::string_literals;
    KeyValueMap map;
    // A count below 1 is an empty record of 4 bytes.
    std::string negative = "\xFF\xFF\xFF\xFE"s + "junk";
    std::uint32_t offset = 0;
    ASSERT_TRUE(
        map.deserialize(negative.data(), &offset, static_cast<std::uint32_t>(negative.size())));
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(offset, 4u);
    // A repeated key keeps the later value; any non-zero flag byte is true.
    ASSERT_TRUE(map.fromBytes("\0\0\0\2\0\0\0\1k\0\0\0\x02\x05\0\0\0\1k\0\0\0\x0A\x07"s));
    ASSERT_EQ(map.size(), 1u);
    ASSERT_NE(map.findAs<util::BoolValue>("k"), nullptr);
    EXPECT_TRUE(map.findAs<util::BoolValue>("k")->value);
    // A null offset reads and writes at 0.
    std::string bytes = *everyType().toBytes();
    EXPECT_TRUE(map.deserialize(bytes.data(), nullptr, static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(map.size(), 10u);
    std::string out(bytes.size(), '\0');
    EXPECT_TRUE(map.serialize(out.data(), nullptr, static_cast<std::uint32_t>(out.size())));
    EXPECT_EQ(out, bytes);
    // Setting null removes a key.
    map.set("u8", nullptr);
    EXPECT_EQ(map.find("u8"), nullptr);
}

}  // namespace
