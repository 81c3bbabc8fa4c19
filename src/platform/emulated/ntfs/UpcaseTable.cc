#include "platform/emulated/ntfs/UpcaseTable.h"

#include <algorithm>

namespace platform::emulated::ntfs {

UpcaseTable::UpcaseTable(std::span<const std::uint8_t> bytes) : table_(kUpcaseEntries) {
    std::size_t given = std::min(bytes.size() / 2, kUpcaseEntries);
    for (std::size_t i = 0; i < kUpcaseEntries; ++i) {
        table_[i] = i < given ? static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8))
                              : static_cast<char16_t>(i);
    }
}

int UpcaseTable::compare(std::u16string_view a, std::u16string_view b) const {
    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        char16_t x = upcase(a[i]);
        char16_t y = upcase(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace platform::emulated::ntfs
