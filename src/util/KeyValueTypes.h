// The typed values of a key-value record (see KeyValueMap.h for the record's wire form).
// Each value knows its type tag, its serialised size (tag included) and how to write and
// read its payload.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace util {

// Offsets: serialize and deserialize work at *offset (at 0 when offset is null) and, on
// success, store the offset after what they wrote or read through a non-null offset.
class ISerializable {
  public:
    virtual ~ISerializable() = default;
    virtual bool serialize(char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) const = 0;
    virtual std::uint32_t serializedSize() const = 0;
    virtual bool deserialize(const char* buffer, std::uint32_t* offset,
                             std::uint32_t bufferSize) = 0;
};

// Bounds-checked access to a buffer, shared by the values and the map.
class ByteCursor {
  public:
    ByteCursor(std::uint32_t offset, std::uint32_t size) : position_(offset), size_(size) {}
    // Bytes left; 0 when the offset already lies beyond the buffer.
    std::uint32_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }
    // The position of the next count bytes, moving past them; false when fewer remain.
    bool take(std::uint32_t count, std::uint32_t& at);
    // Big-endian 32-bit values and raw bytes at the position, moving past them.
    bool putU32(char* buffer, std::uint32_t value);
    bool getU32(const char* buffer, std::uint32_t& value);
    bool putBytes(char* buffer, const void* bytes, std::uint32_t count);
    std::uint32_t position() const { return position_; }

  private:
    std::uint32_t position_;
    std::uint32_t size_;
};

class ValueStruct : public ISerializable {
  public:
    static constexpr std::uint32_t kFirstType = 1;
    static constexpr std::uint32_t kLastType = 10;

    virtual std::uint32_t type() const = 0;

    // Writes the tag and then the payload.
    bool serialize(char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) const final;
    // Reads the payload only: the tag has been read by whoever chose the value's class.
    bool deserialize(const char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) final;

    // A default value of the class with this tag; null for a tag outside 1..10.
    static std::unique_ptr<ValueStruct> create(std::uint32_t type);

  protected:
    virtual bool writePayload(char* buffer, ByteCursor& cursor) const = 0;
    virtual bool readPayload(const char* buffer, ByteCursor& cursor) = 0;
};

class StringValue final : public ValueStruct {
  public:
    static constexpr std::uint32_t kType = 1;
    StringValue() = default;
    explicit StringValue(std::string text) : value(std::move(text)) {}
    std::uint32_t type() const override { return kType; }
    // Length + 8; saturates for strings too long for the record.
    std::uint32_t serializedSize() const override;

    std::string value;

  protected:
    bool writePayload(char* buffer, ByteCursor& cursor) const override;
    bool readPayload(const char* buffer, ByteCursor& cursor) override;
};

// The fixed-size integer values, written big-endian (two's complement for the signed ones).
template <typename T, std::uint32_t Tag>
class IntegerValue final : public ValueStruct {
  public:
    static constexpr std::uint32_t kType = Tag;
    IntegerValue() = default;
    explicit IntegerValue(T number) : value(number) {}
    std::uint32_t type() const override { return kType; }
    std::uint32_t serializedSize() const override { return 4 + sizeof(T); }

    T value{};

  protected:
    bool writePayload(char* buffer, ByteCursor& cursor) const override;
    bool readPayload(const char* buffer, ByteCursor& cursor) override;
};

using Uint8Value = IntegerValue<std::uint8_t, 2>;
using Int8Value = IntegerValue<std::int8_t, 3>;
using Uint16Value = IntegerValue<std::uint16_t, 4>;
using Int16Value = IntegerValue<std::int16_t, 5>;
using Uint32Value = IntegerValue<std::uint32_t, 6>;
using Int32Value = IntegerValue<std::int32_t, 7>;
using Uint64Value = IntegerValue<std::uint64_t, 8>;
using Int64Value = IntegerValue<std::int64_t, 9>;

class BoolValue final : public ValueStruct {
  public:
    static constexpr std::uint32_t kType = 10;
    BoolValue() = default;
    explicit BoolValue(bool flag) : value(flag) {}
    std::uint32_t type() const override { return kType; }
    std::uint32_t serializedSize() const override { return 5; }

    bool value = false;

  protected:
    bool writePayload(char* buffer, ByteCursor& cursor) const override;
    bool readPayload(const char* buffer, ByteCursor& cursor) override;
};

}  // namespace util
