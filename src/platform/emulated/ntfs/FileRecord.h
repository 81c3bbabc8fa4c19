// One MFT file record after fixups, with its attributes parsed and checked against the
// record's bounds. Attributes keep views into the record's bytes, so a FileRecord is neither
// copied nor outlived by its attributes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace platform::emulated::ntfs {

namespace attribute {
constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kFileName = 0x30;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kIndexRoot = 0x90;
constexpr std::uint32_t kIndexAllocation = 0xA0;
constexpr std::uint32_t kEnd = 0xFFFFFFFF;
}  // namespace attribute

// The low 48 bits of a file reference are the record number, the high 16 its sequence.
constexpr std::uint64_t recordNumberOf(std::uint64_t reference) {
    return reference & 0xFFFFFFFFFFFFull;
}
constexpr std::uint16_t sequenceOf(std::uint64_t reference) {
    return static_cast<std::uint16_t>(reference >> 48);
}

struct Attribute {
    std::uint32_t type = 0;
    std::u16string name;
    bool nonResident = false;
    std::uint16_t flags = 0;  // compressed (0x00FF), encrypted (0x4000), sparse (0x8000)
    std::uint16_t id = 0;
    std::span<const std::uint8_t> value;  // resident only
    // Non-resident only:
    std::uint64_t lowestVcn = 0;
    std::uint64_t highestVcn = 0;
    std::span<const std::uint8_t> mappingPairs;  // to the end of the attribute
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;
};

class FileRecord {
  public:
    // Takes the raw record as read (fixups not yet applied); number is its MFT index.
    FileRecord(std::vector<std::uint8_t> bytes, std::uint64_t number);
    FileRecord(const FileRecord&) = delete;
    FileRecord& operator=(const FileRecord&) = delete;

    std::uint64_t number() const { return number_; }
    std::uint16_t sequence() const { return sequence_; }
    bool inUse() const { return (flags_ & 0x01) != 0; }
    bool isDirectory() const { return (flags_ & 0x02) != 0; }
    // 0 for a base record, else the reference of the base record this one extends.
    std::uint64_t baseReference() const { return baseReference_; }
    const std::vector<Attribute>& attributes() const { return attributes_; }
    std::string describe() const { return "file record " + std::to_string(number_); }

  private:
    void parseHeader();
    void parseAttributes(std::size_t firstOffset, std::size_t bytesInUse);

    std::vector<std::uint8_t> bytes_;
    std::uint64_t number_;
    std::uint16_t sequence_ = 0;
    std::uint16_t flags_ = 0;
    std::uint64_t baseReference_ = 0;
    std::vector<Attribute> attributes_;
};

}  // namespace platform::emulated::ntfs
