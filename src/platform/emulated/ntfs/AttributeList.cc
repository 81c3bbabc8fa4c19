#include "platform/emulated/ntfs/AttributeList.h"

#include "platform/emulated/ntfs/ByteView.h"

namespace platform::emulated::ntfs {

namespace {
constexpr std::size_t kEntryHeader = 0x1A;
}  // namespace

std::vector<AttributeListEntry> parseAttributeList(std::span<const std::uint8_t> list,
                                                   const std::string& what) {
    ByteView view(list, what + " attribute list");
    std::vector<AttributeListEntry> entries;
    std::size_t offset = 0;
    while (offset < list.size()) {
        std::size_t length = view.u16(offset + 4);
        if (length < kEntryHeader || !view.fits(offset, length)) {
            corrupt(view.what() + ": entry at offset " + std::to_string(offset) +
                    " has a bad length");
        }
        ByteView entry = view.sub(offset, length, view.what() + " entry");
        AttributeListEntry parsed;
        parsed.type = entry.u32(0);
        std::size_t nameLength = entry.u8(6);
        auto name = entry.slice(entry.u8(7), nameLength * 2);
        for (std::size_t i = 0; i < nameLength; ++i) {
            parsed.name.push_back(static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8)));
        }
        parsed.lowestVcn = entry.u64(8);
        parsed.recordReference = entry.u64(0x10);
        parsed.id = entry.u16(0x18);
        entries.push_back(std::move(parsed));
        offset += length;
    }
    return entries;
}

}  // namespace platform::emulated::ntfs
