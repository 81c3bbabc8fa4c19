#include "util/KeyValueTypes.h"

#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/ByteOrder.h"

namespace util {
namespace {

constexpr std::uint32_t kMaxSize = std::numeric_limits<std::uint32_t>::max();

}  // namespace

bool ByteCursor::take(std::uint32_t count, std::uint32_t& at) {
    if (count > remaining())
        return false;
    at = position_;
    position_ += count;
    return true;
}

bool ByteCursor::putU32(char* buffer, std::uint32_t value) {
    std::string bytes;
    platform::appendU32(bytes, value);
    return putBytes(buffer, bytes.data(), 4);
}

bool ByteCursor::getU32(const char* buffer, std::uint32_t& value) {
    std::uint32_t at = 0;
    if (!take(4, at))
        return false;
    value = platform::loadU32(buffer + at);
    return true;
}

bool ByteCursor::putBytes(char* buffer, const void* bytes, std::uint32_t count) {
    std::uint32_t at = 0;
    if (!take(count, at))
        return false;
    if (count > 0)
        std::memcpy(buffer + at, bytes, count);
    return true;
}

bool ValueStruct::serialize(char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) const {
    ByteCursor cursor(offset != nullptr ? *offset : 0, bufferSize);
    if (!cursor.putU32(buffer, type()) || !writePayload(buffer, cursor))
        return false;
    if (offset != nullptr)
        *offset = cursor.position();
    return true;
}

bool ValueStruct::deserialize(const char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) {
    ByteCursor cursor(offset != nullptr ? *offset : 0, bufferSize);
    if (!readPayload(buffer, cursor))
        return false;
    if (offset != nullptr)
        *offset = cursor.position();
    return true;
}

std::unique_ptr<ValueStruct> ValueStruct::create(std::uint32_t type) {
    switch (type) {
        case StringValue::kType:
            return std::make_unique<StringValue>();
        case Uint8Value::kType:
            return std::make_unique<Uint8Value>();
        case Int8Value::kType:
            return std::make_unique<Int8Value>();
        case Uint16Value::kType:
            return std::make_unique<Uint16Value>();
        case Int16Value::kType:
            return std::make_unique<Int16Value>();
        case Uint32Value::kType:
            return std::make_unique<Uint32Value>();
        case Int32Value::kType:
            return std::make_unique<Int32Value>();
        case Uint64Value::kType:
            return std::make_unique<Uint64Value>();
        case Int64Value::kType:
            return std::make_unique<Int64Value>();
        case BoolValue::kType:
            return std::make_unique<BoolValue>();
        default:
            return nullptr;
    }
}

std::uint32_t StringValue::serializedSize() const {
    return value.size() > kMaxSize - 8 ? kMaxSize : static_cast<std::uint32_t>(value.size() + 8);
}

bool StringValue::writePayload(char* buffer, ByteCursor& cursor) const {
    if (value.size() > kMaxSize - 8)
        return false;
    auto length = static_cast<std::uint32_t>(value.size());
    return cursor.putU32(buffer, length) && cursor.putBytes(buffer, value.data(), length);
}

bool StringValue::readPayload(const char* buffer, ByteCursor& cursor) {
    std::uint32_t length = 0;
    std::uint32_t at = 0;
    if (!cursor.getU32(buffer, length) || !cursor.take(length, at))
        return false;
    value.assign(buffer + at, length);
    return true;
}

template <typename T, std::uint32_t Tag>
bool IntegerValue<T, Tag>::writePayload(char* buffer, ByteCursor& cursor) const {
    std::uint32_t at = 0;
    if (!cursor.take(sizeof(T), at))
        return false;
    auto bits = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value));
    for (std::size_t i = 0; i < sizeof(T); ++i)
        buffer[at + i] = static_cast<char>(bits >> (8 * (sizeof(T) - 1 - i)));
    return true;
}

template <typename T, std::uint32_t Tag>
bool IntegerValue<T, Tag>::readPayload(const char* buffer, ByteCursor& cursor) {
    std::uint32_t at = 0;
    if (!cursor.take(sizeof(T), at))
        return false;
    std::uint64_t bits = platform::loadBigEndian(buffer + at, sizeof(T));
    value = static_cast<T>(static_cast<std::make_unsigned_t<T>>(bits));
    return true;
}

template class IntegerValue<std::uint8_t, 2>;
template class IntegerValue<std::int8_t, 3>;
template class IntegerValue<std::uint16_t, 4>;
template class IntegerValue<std::int16_t, 5>;
template class IntegerValue<std::uint32_t, 6>;
template class IntegerValue<std::int32_t, 7>;
template class IntegerValue<std::uint64_t, 8>;
template class IntegerValue<std::int64_t, 9>;

bool BoolValue::writePayload(char* buffer, ByteCursor& cursor) const {
    std::uint32_t at = 0;
    if (!cursor.take(1, at))
        return false;
    buffer[at] = value ? 1 : 0;
    return true;
}

bool BoolValue::readPayload(const char* buffer, ByteCursor& cursor) {
    std::uint32_t at = 0;
    if (!cursor.take(1, at))
        return false;
    value = buffer[at] != 0;
    return true;
}

}  // namespace util
