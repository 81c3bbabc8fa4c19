// Whole-file helpers for the agent's small state files (keys, allow lists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <limits>
#include <string>
#include <string_view>

namespace util::files {

inline constexpr std::size_t kNoSizeLimit = std::numeric_limits<std::size_t>::max();

// The whole content of a file, read in binary mode. A missing or unreadable file, or one
// larger than maxBytes, yields an empty string rather than an error.
std::string readFile(const std::filesystem::path& path, std::size_t maxBytes = kNoSizeLimit);

// Reads 4 bytes, converts them from big-endian and compares them with expected. Throws
// util::UtilException naming both numbers (in lower-case hex) on a mismatch, and when fewer
// than 4 bytes can be read.
void verifyMagic(std::istream& in, std::uint32_t expected);

// Who may open a file that writeFileAtomically creates: whoever the folder lets in, or
// SYSTEM and Administrators only (private keys), set before any byte is written.
enum class Access { inherited, administratorsOnly };

// Replaces path with content so that readers see either the old or the new file, never a
// partial one: the bytes go to a unique temporary file in the same directory, which is then
// renamed over path. Throws util::UtilException naming path when the bytes cannot be
// written, the access cannot be set or the rename fails; the temporary file is removed on
// failure.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content,
                         Access access = Access::inherited);

}  // namespace util::files
