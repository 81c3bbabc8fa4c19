// Access rights and flags of CreateFileW that File.h does not list, with their Windows values.
#pragma once

#include <cstdint>

namespace platform {

constexpr std::uint32_t kFileReadData = 0x0001;
constexpr std::uint32_t kFileWriteData = 0x0002;
constexpr std::uint32_t kFileReadAttributes = 0x0080;
constexpr std::uint32_t kFileWriteAttributes = 0x0100;
constexpr std::uint32_t kFileFlagSequentialScan = 0x08000000;
constexpr std::uint32_t kFileFlagRandomAccess = 0x10000000;
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFF;

}  // namespace platform
