#include "platform/emulated/ntfs/FileRecord.h"

#include "platform/emulated/ntfs/ByteView.h"
#include "platform/emulated/ntfs/Fixups.h"

namespace platform::emulated::ntfs {

namespace {

constexpr std::size_t kResidentHeader = 0x18;
constexpr std::size_t kNonResidentHeader = 0x40;

std::u16string readName(const ByteView& view, std::size_t offset, std::size_t length) {
    auto bytes = view.slice(offset, length * 2);
    std::u16string name(length, u'\0');
    for (std::size_t i = 0; i < length; ++i) {
        name[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return name;
}

void parseResident(const ByteView& view, Attribute& attribute) {
    std::size_t length = view.u32(0x10);
    std::size_t offset = view.u16(0x14);
    attribute.value = view.slice(offset, length);
}

void parseNonResident(const ByteView& view, Attribute& attribute) {
    if (view.size() < kNonResidentHeader) {
        corrupt(view.what() + ": non-resident header is too short");
    }
    attribute.lowestVcn = view.u64(0x10);
    attribute.highestVcn = view.u64(0x18);
    std::size_t pairsOffset = view.u16(0x20);
    if (pairsOffset < kNonResidentHeader || pairsOffset > view.size()) {
        corrupt(view.what() + ": mapping pairs outside the attribute");
    }
    attribute.mappingPairs = view.slice(pairsOffset, view.size() - pairsOffset);
    attribute.allocatedSize = view.u64(0x28);
    attribute.dataSize = view.u64(0x30);
    attribute.initializedSize = view.u64(0x38);
}

Attribute parseAttribute(const ByteView& view) {
    Attribute attribute;
    attribute.type = view.u32(0);
    attribute.nonResident = view.u8(8) != 0;
    std::size_t nameLength = view.u8(9);
    attribute.name = readName(view, view.u16(0x0A), nameLength);
    attribute.flags = view.u16(0x0C);
    attribute.id = view.u16(0x0E);
    if (attribute.nonResident) {
        parseNonResident(view, attribute);
    } else {
        parseResident(view, attribute);
    }
    return attribute;
}

}  // namespace

FileRecord::FileRecord(std::vector<std::uint8_t> bytes, std::uint64_t number)
    : bytes_(std::move(bytes)), number_(number) {
    applyFixups(bytes_, "FILE", describe());
    parseHeader();
}

void FileRecord::parseHeader() {
    ByteView view(bytes_, describe());
    sequence_ = view.u16(0x10);
    std::size_t firstOffset = view.u16(0x14);
    flags_ = view.u16(0x16);
    std::size_t bytesInUse = view.u32(0x18);
    baseReference_ = view.u64(0x20);
    if (bytesInUse > bytes_.size() || firstOffset < 0x2A || firstOffset > bytesInUse ||
        firstOffset % 8 != 0) {
        corrupt(describe() + ": header offsets outside the record");
    }
    parseAttributes(firstOffset, bytesInUse);
}

void FileRecord::parseAttributes(std::size_t offset, std::size_t bytesInUse) {
    ByteView used(std::span<const std::uint8_t>(bytes_).first(bytesInUse), describe());
    while (true) {
        std::uint32_t type = used.u32(offset);
        if (type == attribute::kEnd) {
            return;
        }
        std::size_t length = used.u32(offset + 4);
        if (length < kResidentHeader || length % 8 != 0 || !used.fits(offset, length)) {
            corrupt(describe() + ": attribute at offset " + std::to_string(offset) +
                    " has a bad length or crosses the record");
        }
        attributes_.push_back(
            parseAttribute(used.sub(offset, length, describe() + " attribute " + hex(type))));
        offset += length;
    }
}

}  // namespace platform::emulated::ntfs
