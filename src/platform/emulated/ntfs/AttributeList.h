// $ATTRIBUTE_LIST: where a file's attributes live when they spill over into extension
// records. One entry per attribute segment.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace platform::emulated::ntfs {

// Windows keeps an attribute list below 256 KiB.
constexpr std::size_t kMaxAttributeListSize = 256 * 1024;

struct AttributeListEntry {
    std::uint32_t type = 0;
    std::u16string name;
    std::uint64_t lowestVcn = 0;
    std::uint64_t recordReference = 0;
    std::uint16_t id = 0;
};

// Every entry, checked against the list's bounds; what names the file for messages.
std::vector<AttributeListEntry> parseAttributeList(std::span<const std::uint8_t> list,
                                                   const std::string& what);

}  // namespace platform::emulated::ntfs
