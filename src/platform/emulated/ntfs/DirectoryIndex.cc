#include "platform/emulated/ntfs/DirectoryIndex.h"

#include <bit>

#include "platform/emulated/ntfs/ByteView.h"
#include "platform/emulated/ntfs/Fixups.h"

namespace platform::emulated::ntfs {

namespace {

constexpr std::size_t kEntryHeader = 0x10;
constexpr std::size_t kFileNameOffset = 0x42;
constexpr std::uint16_t kEntryHasChild = 0x01;
constexpr std::uint16_t kEntryLast = 0x02;
constexpr std::size_t kRootHeader = 0x10;  // index root fields before its node header
constexpr std::size_t kNodeHeader = 0x10;
constexpr std::size_t kBufferHeader = 0x18;

std::u16string fileNameOf(const ByteView& key) {
    std::size_t length = key.u8(0x40);
    auto bytes = key.slice(kFileNameOffset, length * 2);
    std::u16string name(length, u'\0');
    for (std::size_t i = 0; i < length; ++i) {
        name[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return name;
}

struct IndexEntry {
    std::size_t length = 0;
    bool last = false;
    std::uint64_t reference = 0;
    std::optional<std::uint64_t> child;
    ByteView key;
};

IndexEntry parseIndexEntry(const ByteView& entries, std::size_t offset) {
    IndexEntry parsed{entries.u16(offset + 8), false, 0, std::nullopt,
                      ByteView({}, entries.what())};
    std::size_t keyLength = entries.u16(offset + 10);
    std::uint16_t flags = entries.u16(offset + 12);
    parsed.last = (flags & kEntryLast) != 0;
    bool hasChild = (flags & kEntryHasChild) != 0;
    std::size_t minimum = kEntryHeader + (parsed.last ? 0 : keyLength) + (hasChild ? 8 : 0);
    if (parsed.length < minimum || parsed.length % 8 != 0 || !entries.fits(offset, parsed.length)) {
        corrupt(entries.what() + ": entry at offset " + std::to_string(offset) +
                " crosses its node");
    }
    ByteView entry = entries.sub(offset, parsed.length, entries.what() + " entry");
    parsed.reference = entry.u64(0);
    if (hasChild) {
        parsed.child = entry.u64(parsed.length - 8);
    }
    if (!parsed.last) {
        parsed.key = entry.sub(kEntryHeader, keyLength, entry.what());
    }
    return parsed;
}

}  // namespace

DirectoryIndex::DirectoryIndex(const Mft& mft, const FileRecord& directory)
    : mft_(mft), what_(directory.describe() + " index") {
    std::optional<Stream> root = mft.findStream(directory, attribute::kIndexRoot, u"$I30");
    if (!root || !root->resident) {
        corrupt(what_ + ": directory without a resident index root");
    }
    root_ = std::move(root->value);
    ByteView view(root_, what_ + " root");
    bufferSize_ = view.u32(8);
    if (view.u32(0) != attribute::kFileName || bufferSize_ < 512 || bufferSize_ > kMaxRecordSize ||
        !std::has_single_bit(bufferSize_)) {
        corrupt(what_ + ": not a file name index or a bad index buffer size");
    }
    const BootSector& boot = mft.boot();
    // Index buffers smaller than a cluster are addressed in 512-byte units.
    vcnShift_ = bufferSize_ >= boot.bytesPerCluster ? boot.clusterShift : 9;
    allocation_ = mft.findStream(directory, attribute::kIndexAllocation, u"$I30");
}

std::optional<std::uint64_t> DirectoryIndex::find(const std::u16string& name,
                                                  const UpcaseTable& upcase) const {
    ByteView root(root_, what_ + " root");
    Step step =
        searchNode(root.sub(kRootHeader, root.size() - kRootHeader, root.what()), name, upcase);
    for (int depth = 1; step.child; ++depth) {
        if (depth > kMaxIndexDepth) {
            corrupt(what_ + ": index buffers refer to each other in a loop");
        }
        std::vector<std::uint8_t> buffer = readIndexBuffer(*step.child);
        ByteView view(buffer, what_ + " buffer " + std::to_string(*step.child));
        step = searchNode(view.sub(kBufferHeader, view.size() - kBufferHeader, view.what()), name,
                          upcase);
    }
    return step.found;
}

DirectoryIndex::Step DirectoryIndex::searchNode(const ByteView& node, const std::u16string& name,
                                                const UpcaseTable& upcase) const {
    std::size_t offset = node.u32(0);
    std::size_t end = node.u32(4);
    if (offset < kNodeHeader || offset > end || end > node.size()) {
        corrupt(node.what() + ": entries outside the node");
    }
    ByteView entries = node.sub(0, end, node.what());
    // Entries are sorted and end with a key-less last entry; each length is checked to be at
    // least 16, so the walk always moves on and stops at the node's end.
    while (true) {
        IndexEntry entry = parseIndexEntry(entries, offset);
        if (entry.last) {
            return Step{std::nullopt, entry.child};
        }
        int order = upcase.compare(name, fileNameOf(entry.key));
        if (order == 0) {
            return Step{entry.reference, std::nullopt};
        }
        if (order < 0) {
            return Step{std::nullopt, entry.child};
        }
        offset += entry.length;
    }
}

std::vector<std::uint8_t> DirectoryIndex::readIndexBuffer(std::uint64_t vcn) const {
    if (!allocation_ || allocation_->resident) {
        corrupt(what_ + ": refers to index buffers but has no index allocation");
    }
    if (vcn > (allocation_->dataSize >> vcnShift_) ||
        allocation_->dataSize - (vcn << vcnShift_) < bufferSize_) {
        corrupt(what_ + ": index buffer " + std::to_string(vcn) +
                " lies past the index allocation");
    }
    std::vector<std::uint8_t> buffer(bufferSize_);
    std::string what = what_ + " buffer " + std::to_string(vcn);
    readStream(mft_.reader(), mft_.boot().clusterShift, *allocation_, vcn << vcnShift_, buffer,
               what);
    applyFixups(buffer, "INDX", what);
    if (ByteView(buffer, what).u64(0x10) != vcn) {
        corrupt(what + ": holds the buffer of another VCN");
    }
    return buffer;
}

}  // namespace platform::emulated::ntfs
