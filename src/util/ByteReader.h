// Reads big-endian fields from a byte buffer that came from a peer or a file. Every read
// checks the remaining length first; a read past the end throws util::UtilException
// naming the length and leaves the position unchanged.
// The reader does not own the bytes: they must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace util {

class ByteReader {
  public:
    explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

    std::uint8_t readU8();
    std::uint16_t readU16();
    std::uint32_t readU32();
    std::uint64_t readU64();
    // Exactly count bytes.
    std::string readBytes(std::size_t count);
    // A 32-bit length followed by that many bytes; the length is checked against what is
    // left before anything is allocated.
    std::string readString();
    // A 16-bit length followed by that many bytes.
    std::string readShortBytes();

    std::size_t position() const { return position_; }
    std::size_t remaining() const { return bytes_.size() - position_; }
    bool atEnd() const { return remaining() == 0; }

  private:
    // Returns the next count bytes and moves past them, or throws.
    std::string_view take(std::size_t count);

    std::string_view bytes_;
    std::size_t position_ = 0;
};

}  // namespace util
