// A bounds-checked, little-endian view of bytes read from a volume. Every field access is
// checked against the view's end; a field outside it is a damaged structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "platform/ByteOrder.h"
#include "platform/emulated/ntfs/NtfsError.h"

namespace platform::emulated::ntfs {

class ByteView {
  public:
    // what names the structure in error messages ("file record 5").
    ByteView(std::span<const std::uint8_t> bytes, std::string what)
        : bytes_(bytes), what_(std::move(what)) {}

    std::size_t size() const { return bytes_.size(); }
    std::span<const std::uint8_t> bytes() const { return bytes_; }
    const std::string& what() const { return what_; }

    std::uint8_t u8(std::size_t offset) const { return bytes_[check(offset, 1)]; }
    std::uint16_t u16(std::size_t offset) const {
        return static_cast<std::uint16_t>(le(offset, 2));
    }
    std::uint32_t u32(std::size_t offset) const {
        return static_cast<std::uint32_t>(le(offset, 4));
    }
    std::uint64_t u64(std::size_t offset) const { return le(offset, 8); }

    // The length bytes at offset, checked.
    std::span<const std::uint8_t> slice(std::size_t offset, std::size_t length) const {
        return bytes_.subspan(check(offset, length), length);
    }
    ByteView sub(std::size_t offset, std::size_t length, std::string what) const {
        return ByteView(slice(offset, length), std::move(what));
    }
    bool fits(std::size_t offset, std::size_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }

  private:
    std::size_t check(std::size_t offset, std::size_t length) const {
        if (!fits(offset, length)) {
            corrupt(what_ + ": field at offset " + std::to_string(offset) + " of " +
                    std::to_string(length) + " bytes crosses its end (" +
                    std::to_string(bytes_.size()) + " bytes)");
        }
        return offset;
    }
    std::uint64_t le(std::size_t offset, std::size_t length) const {
        return loadLittleEndian(bytes_.data() + check(offset, length), static_cast<int>(length));
    }

    std::span<const std::uint8_t> bytes_;
    std::string what_;
};

}  // namespace platform::emulated::ntfs
