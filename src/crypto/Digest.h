// One-shot message digests over byte buffers.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace crypto {

inline constexpr std::size_t kSha1Bytes = 20;
inline constexpr std::size_t kMd5Bytes = 16;

using Sha1Digest = std::array<unsigned char, kSha1Bytes>;
using Md5Digest = std::array<unsigned char, kMd5Bytes>;

// Empty when the digest cannot be computed (provider missing); callers throw their own
// message for that case.
std::optional<Sha1Digest> sha1(std::string_view data);
std::optional<Md5Digest> md5(std::string_view data);

}  // namespace crypto
