#include "platform/emulated/ntfs/Mft.h"

#include <algorithm>

#include "platform/emulated/ntfs/AttributeList.h"
#include "platform/emulated/ntfs/NtfsError.h"

namespace platform::emulated::ntfs {

namespace {

bool matches(const Attribute& attribute, std::uint32_t type, const std::u16string& name) {
    return attribute.type == type && attribute.name == name;
}

const Attribute* findSegment(const FileRecord& record, const AttributeListEntry& entry) {
    for (const Attribute& attribute : record.attributes()) {
        if (matches(attribute, entry.type, entry.name) && attribute.id == entry.id) {
            return &attribute;
        }
    }
    return nullptr;
}

}  // namespace

Mft::Mft(const VolumeReader& reader, const BootSector& boot) : reader_(reader), boot_(boot) {
    std::vector<std::uint8_t> bytes(boot.bytesPerFileRecord);
    reader.read(boot.mftLcn << boot.clusterShift, bytes);
    FileRecord self(std::move(bytes), record::kMft);
    if (!self.inUse()) {
        corrupt("$MFT's own record is not in use");
    }
    // Bootstrap: the segment of $MFT's data that starts at VCN 0 lives in record 0 and
    // covers the extension records that may hold the rest.
    StreamBuilder first(boot.totalClusters, "$MFT");
    for (const Attribute& attribute : self.attributes()) {
        if (matches(attribute, attribute::kData, u"") && attribute.nonResident &&
            attribute.lowestVcn == 0) {
            first.add(attribute);
            break;
        }
    }
    std::optional<Stream> bootstrap = first.finish();
    if (!bootstrap) {
        corrupt("$MFT has no non-resident data");
    }
    data_ = std::move(*bootstrap);
    std::optional<Stream> whole = findStream(self, attribute::kData, u"");
    if (!whole || whole->resident) {
        corrupt("$MFT has no non-resident data");
    }
    data_ = std::move(*whole);
}

std::unique_ptr<FileRecord> Mft::readRecord(std::uint64_t number) const {
    std::uint64_t size = boot_.bytesPerFileRecord;
    if (number >= data_.initializedSize / size) {
        corrupt("file record " + std::to_string(number) + " lies beyond the end of $MFT");
    }
    std::vector<std::uint8_t> bytes(size);
    readStream(reader_, boot_.clusterShift, data_, number * size, bytes, "$MFT");
    return std::make_unique<FileRecord>(std::move(bytes), number);
}

std::unique_ptr<FileRecord> Mft::readBaseRecord(std::uint64_t reference) const {
    auto record = readRecord(recordNumberOf(reference));
    std::uint16_t sequence = sequenceOf(reference);
    if (!record->inUse() || record->baseReference() != 0 ||
        (sequence != 0 && sequence != record->sequence())) {
        corrupt(record->describe() +
                ": referred to as a file but it is free, an extension or reused");
    }
    return record;
}

std::optional<Stream> Mft::findStream(const FileRecord& base, std::uint32_t type,
                                      const std::u16string& name) const {
    for (const Attribute& attribute : base.attributes()) {
        if (attribute.type == attribute::kAttributeList) {
            return findThroughList(base, attribute, type, name);
        }
    }
    return findInRecord(base, type, name);
}

std::optional<Stream> Mft::findInRecord(const FileRecord& base, std::uint32_t type,
                                        const std::u16string& name) const {
    std::vector<const Attribute*> segments;
    for (const Attribute& attribute : base.attributes()) {
        if (matches(attribute, type, name)) {
            segments.push_back(&attribute);
        }
    }
    std::stable_sort(segments.begin(), segments.end(), [](const Attribute* a, const Attribute* b) {
        return a->lowestVcn < b->lowestVcn;
    });
    StreamBuilder builder(boot_.totalClusters, base.describe());
    for (const Attribute* segment : segments) {
        builder.add(*segment);
    }
    return builder.finish();
}

std::optional<Stream> Mft::findThroughList(const FileRecord& base, const Attribute& list,
                                           std::uint32_t type, const std::u16string& name) const {
    StreamBuilder listBuilder(boot_.totalClusters, base.describe() + " attribute list");
    listBuilder.add(list);
    std::vector<std::uint8_t> bytes =
        readAll(*listBuilder.finish(), kMaxAttributeListSize, base.describe() + " attribute list");
    StreamBuilder builder(boot_.totalClusters, base.describe());
    // Segments follow each other in the list; keep only the extension record last read.
    std::unique_ptr<FileRecord> extension;
    for (const AttributeListEntry& entry : parseAttributeList(bytes, base.describe())) {
        if (entry.type == type && entry.name == name) {
            builder.add(segmentOf(base, entry, extension));
        }
    }
    return builder.finish();
}

const Attribute& Mft::segmentOf(const FileRecord& base, const AttributeListEntry& entry,
                                std::unique_ptr<FileRecord>& extension) const {
    std::uint64_t number = recordNumberOf(entry.recordReference);
    if (number != base.number() && (!extension || extension->number() != number)) {
        extension = readRecord(number);
        if (!extension->inUse() || recordNumberOf(extension->baseReference()) != base.number()) {
            corrupt(extension->describe() + ": not an extension of " + base.describe());
        }
    }
    const Attribute* segment = findSegment(number == base.number() ? base : *extension, entry);
    if (segment == nullptr || (segment->nonResident && segment->lowestVcn != entry.lowestVcn)) {
        corrupt(base.describe() + ": attribute list names a segment that does not exist");
    }
    return *segment;
}

std::vector<std::uint8_t> Mft::readAll(const Stream& stream, std::size_t limit,
                                       const std::string& what) const {
    if (stream.dataSize > limit) {
        corrupt(what + ": " + std::to_string(stream.dataSize) + " bytes, more than the " +
                std::to_string(limit) + " allowed");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stream.dataSize));
    readStream(reader_, boot_.clusterShift, stream, 0, bytes, what);
    return bytes;
}

}  // namespace platform::emulated::ntfs
