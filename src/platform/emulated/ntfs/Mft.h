// The master file table: reading file records by number and assembling an attribute of a
// file from its base record and, through $ATTRIBUTE_LIST, its extension records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/emulated/ntfs/AttributeList.h"
#include "platform/emulated/ntfs/BootSector.h"
#include "platform/emulated/ntfs/FileRecord.h"
#include "platform/emulated/ntfs/Stream.h"
#include "platform/emulated/ntfs/VolumeReader.h"

namespace platform::emulated::ntfs {

namespace record {
constexpr std::uint64_t kMft = 0;
constexpr std::uint64_t kBitmap = 6;
constexpr std::uint64_t kRoot = 5;
constexpr std::uint64_t kUpcase = 10;
}  // namespace record

class Mft {
  public:
    // Reads $MFT's own record at the boot sector's MFT LCN and assembles $MFT's data runs.
    // reader must outlive the Mft.
    Mft(const VolumeReader& reader, const BootSector& boot);

    const BootSector& boot() const { return boot_; }
    const VolumeReader& reader() const { return reader_; }
    const Stream& data() const { return data_; }

    std::unique_ptr<FileRecord> readRecord(std::uint64_t number) const;
    // The record a directory entry refers to: in use, a base record, and of the sequence
    // number the reference carries.
    std::unique_ptr<FileRecord> readBaseRecord(std::uint64_t reference) const;

    // The attribute of the given type and name, with all its segments; null when the file
    // has none.
    std::optional<Stream> findStream(const FileRecord& base, std::uint32_t type,
                                     const std::u16string& name) const;

    // Reads a whole stream into memory, refusing one larger than limit bytes.
    std::vector<std::uint8_t> readAll(const Stream& stream, std::size_t limit,
                                      const std::string& what) const;

  private:
    std::optional<Stream> findInRecord(const FileRecord& base, std::uint32_t type,
                                       const std::u16string& name) const;
    std::optional<Stream> findThroughList(const FileRecord& base, const Attribute& list,
                                          std::uint32_t type, const std::u16string& name) const;

    // The segment an attribute list entry names, read from base or its extension record
    // (loaded into extension unless it is already there).
    const Attribute& segmentOf(const FileRecord& base, const AttributeListEntry& entry,
                               std::unique_ptr<FileRecord>& extension) const;

    const VolumeReader& reader_;
    BootSector boot_;
    Stream data_;
};

}  // namespace platform::emulated::ntfs
