#include "util/ByteReader.h"

#include "platform/ByteOrder.h"
#include "util/UtilException.h"

namespace util {

std::string_view ByteReader::take(std::size_t count) {
    if (count > remaining()) {
        ZENTRAD_UTIL_THROW("Buffer underrun when attempting to read (" + std::to_string(count) +
                           ") bytes");
    }
    std::string_view result = bytes_.substr(position_, count);
    position_ += count;
    return result;
}

std::uint8_t ByteReader::readU8() {
    return static_cast<std::uint8_t>(take(1)[0]);
}

std::uint16_t ByteReader::readU16() {
    return platform::loadU16(take(2).data());
}

std::uint32_t ByteReader::readU32() {
    return platform::loadU32(take(4).data());
}

std::uint64_t ByteReader::readU64() {
    return platform::loadU64(take(8).data());
}

std::string ByteReader::readBytes(std::size_t count) {
    return std::string(take(count));
}

std::string ByteReader::readString() {
    const std::size_t start = position_;
    const std::uint32_t length = readU32();
    if (length > remaining()) {
        position_ = start;
        take(std::size_t{4} + length);  // throws, naming the whole field
    }
    return readBytes(length);
}

std::string ByteReader::readShortBytes() {
    const std::size_t start = position_;
    const std::uint16_t length = readU16();
    if (length > remaining()) {
        position_ = start;
        take(std::size_t{2} + length);
    }
    return readBytes(length);
}

}  // namespace util
