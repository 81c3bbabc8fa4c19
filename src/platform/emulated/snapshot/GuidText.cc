#include "platform/emulated/snapshot/GuidText.h"

#include <cstdio>
#include <random>

#include "platform/ByteOrder.h"

namespace platform::emulated {
namespace {

Guid fromBytes(const std::uint8_t (&b)[16]) {
    Guid g;
    g.data1 = loadU32(b);
    g.data2 = loadU16(b + 4);
    g.data3 = loadU16(b + 6);
    for (int i = 0; i < 8; ++i)
        g.data4[static_cast<std::size_t>(i)] = b[8 + i];
    return g;
}

}  // namespace

std::string guidText(const Guid& g) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                  g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return buffer;
}

std::optional<Guid> parseGuidText(const std::string& text) {
    std::string body = text;
    if (body.size() == 38 && body.front() == '{' && body.back() == '}')
        body = body.substr(1, 36);
    if (body.size() != 36)
        return std::nullopt;
    std::uint8_t bytes[16];
    std::size_t out = 0;
    for (std::size_t i = 0; i < body.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (body[i++] != '-')
                return std::nullopt;
            continue;
        }
        int value = 0;
        for (int k = 0; k < 2; ++k, ++i) {
            char c = body[i];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + digit;
        }
        bytes[out++] = static_cast<std::uint8_t>(value);
    }
    return fromBytes(bytes);
}

Guid newGuid() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    std::uint8_t bytes[16];
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(engine());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return fromBytes(bytes);
}

Guid guidFromName(const std::string& name) {
    // Two FNV-1a hashes with different seeds fill the 16 bytes.
    std::uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (unsigned char c : name) {
        a = (a ^ c) * 0x100000001b3ull;
        b = (b ^ c) * 0x100000001b3ull;
    }
    std::uint8_t bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(a >> (56 - 8 * i));
        bytes[8 + i] = static_cast<std::uint8_t>(b >> (56 - 8 * i));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x50);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return fromBytes(bytes);
}

}  // namespace platform::emulated
