// Big-endian encoding of the wire's integers. A 64-bit value goes as its high 32-bit half,
// then its low half, which is plain big-endian order.
#pragma once

#include <cstdint>
#include <string>

namespace net {

inline void appendBigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

inline std::uint64_t readBigEndian(const void* data, int bytes) {
    const auto* at = static_cast<const unsigned char*>(data);
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | at[i];
    return value;
}

}  // namespace net
