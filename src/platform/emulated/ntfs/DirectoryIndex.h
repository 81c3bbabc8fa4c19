// A directory's file name index ($I30): the B+ tree held in $INDEX_ROOT and the index buffers
// ("INDX") of $INDEX_ALLOCATION, searched by the volume's upper-case collation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/emulated/ntfs/FileRecord.h"
#include "platform/emulated/ntfs/Mft.h"
#include "platform/emulated/ntfs/UpcaseTable.h"

namespace platform::emulated::ntfs {

class ByteView;

// A tree deeper than this is taken for a loop between index buffers.
constexpr int kMaxIndexDepth = 32;

class DirectoryIndex {
  public:
    // directory must be a directory's base record.
    DirectoryIndex(const Mft& mft, const FileRecord& directory);

    // The file reference of the entry whose name equals name case-insensitively.
    std::optional<std::uint64_t> find(const std::u16string& name, const UpcaseTable& upcase) const;

  private:
    struct Step {
        std::optional<std::uint64_t> found;
        std::optional<std::uint64_t> child;  // VCN of the index buffer to search next
    };
    Step searchNode(const ByteView& node, const std::u16string& name,
                    const UpcaseTable& upcase) const;
    std::vector<std::uint8_t> readIndexBuffer(std::uint64_t vcn) const;

    const Mft& mft_;
    std::string what_;
    std::vector<std::uint8_t> root_;
    std::optional<Stream> allocation_;
    std::uint32_t bufferSize_ = 0;
    std::uint32_t vcnShift_ = 0;
};

}  // namespace platform::emulated::ntfs
