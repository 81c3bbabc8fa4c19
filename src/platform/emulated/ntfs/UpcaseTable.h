// $UpCase: the volume's own map from each UTF-16 code unit to its upper case, by which NTFS
// compares and sorts file names. Using the volume's table (not the host's locale) keeps
// lookups in step with the order of the directory indexes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace platform::emulated::ntfs {

constexpr std::size_t kUpcaseEntries = 65536;

class UpcaseTable {
  public:
    // From the bytes of $UpCase's data (little-endian code units); a shorter table maps the
    // code units it does not reach to themselves.
    explicit UpcaseTable(std::span<const std::uint8_t> bytes);

    char16_t upcase(char16_t c) const { return table_[c]; }
    // Negative, zero or positive as a sorts before, with or after b in a file name index.
    int compare(std::u16string_view a, std::u16string_view b) const;

  private:
    std::vector<char16_t> table_;
};

}  // namespace platform::emulated::ntfs
