// Integers as bytes. Big-endian is how the wire and the key files carry them (a 64-bit value
// as its high 32-bit half followed by its low half, which is the same as eight big-endian
// bytes); little-endian is how disks and the change-tracking driver lay theirs out.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

inline void appendU16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

inline void appendU32(std::string& out, std::uint32_t value) {
    appendU16(out, static_cast<std::uint16_t>(value >> 16));
    appendU16(out, static_cast<std::uint16_t>(value));
}

inline void appendU64(std::string& out, std::uint64_t value) {
    appendU32(out, static_cast<std::uint32_t>(value >> 32));
    appendU32(out, static_cast<std::uint32_t>(value));
}

// The low `bytes` bytes of value (at most 8), most significant first.
inline void appendBigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

inline void storeBigEndian(unsigned char* out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        out[i] = static_cast<unsigned char>(value & 0xFF);
}

// The caller guarantees that `bytes` bytes (at most 8) are readable at data.
inline std::uint64_t loadBigEndian(const void* data, int bytes) {
    const auto* at = static_cast<const unsigned char*>(data);
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | at[i];
    return value;
}

// The low `bytes` bytes of value (at most 8), least significant first.
inline void storeLittleEndian(unsigned char* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i, value >>= 8)
        out[i] = static_cast<unsigned char>(value & 0xFF);
}

inline std::uint64_t loadLittleEndian(const void* data, int bytes) {
    const auto* at = static_cast<const unsigned char*>(data);
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

// Little-endian fixed widths; the caller guarantees that 2, 4 or 8 bytes are readable.
inline std::uint16_t loadLittleU16(const void* bytes) {
    return static_cast<std::uint16_t>(loadLittleEndian(bytes, 2));
}

inline std::uint32_t loadLittleU32(const void* bytes) {
    return static_cast<std::uint32_t>(loadLittleEndian(bytes, 4));
}

inline std::uint64_t loadLittleU64(const void* bytes) {
    return loadLittleEndian(bytes, 8);
}

// Big-endian fixed widths; the caller guarantees that 2, 4 or 8 bytes are readable at bytes.
inline std::uint16_t loadU16(const void* bytes) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t loadU32(const void* bytes) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline std::uint64_t loadU64(const void* bytes) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    return (std::uint64_t{loadU32(p)} << 32) | loadU32(p + 4);
}

}  // namespace platform
