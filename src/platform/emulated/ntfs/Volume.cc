#include "platform/emulated/ntfs/Volume.h"

#include <algorithm>
#include <bit>
#include <mutex>
#include <new>

#include "platform/emulated/ntfs/BootSector.h"
#include "platform/emulated/ntfs/DirectoryIndex.h"
#include "platform/emulated/ntfs/Mft.h"
#include "platform/emulated/ntfs/NtfsError.h"
#include "platform/emulated/ntfs/UpcaseTable.h"
#include "platform/emulated/ntfs/VolumePath.h"
#include "platform/emulated/ntfs/VolumeReader.h"

namespace platform::emulated::ntfs {

namespace {

constexpr std::size_t kUpcaseBytes = kUpcaseEntries * 2;
// Free clusters are counted a piece of $Bitmap at a time, so memory stays bounded.
constexpr std::size_t kBitmapCountPiece = 1 << 20;

// Runs body, turning the reader's internal errors into an Error result.
template <typename Body>
auto guarded(Body&& body) -> Result<decltype(body())> {
    try {
        return body();
    } catch (const NtfsError& error) {
        return error.toError();
    } catch (const std::bad_alloc&) {
        return Error{kErrorNotEnoughMemory, "out of memory reading NTFS structures"};
    }
}

std::uint64_t bitmapBytesFor(std::uint64_t clusters) {
    return clusters / 8 + (clusters % 8 != 0);
}

}  // namespace

struct Volume::State {
    State(ReadFunction read, std::uint64_t length) : reader(std::move(read), length) {}

    VolumeReader reader;
    BootSector boot;
    // Refers to reader; State never moves (it lives behind a unique_ptr).
    std::optional<Mft> mft;
    Stream bitmap;
    VolumeData geometry;
    mutable std::mutex upcaseMutex;  // guards upcase, loaded on first use
    mutable std::shared_ptr<const UpcaseTable> upcase;

    void loadBitmap();
    void describeGeometry();
    std::uint64_t countUsedClusters() const;
    std::shared_ptr<const UpcaseTable> upcaseTable() const;
    std::unique_ptr<FileRecord> resolve(const std::wstring& path) const;
    std::vector<Extent> extentsOf(const FileRecord& file) const;
};

void Volume::State::loadBitmap() {
    auto record = mft->readRecord(record::kBitmap);
    std::optional<Stream> data =
        record->inUse() ? mft->findStream(*record, attribute::kData, u"") : std::nullopt;
    if (!data || data->dataSize < bitmapBytesFor(boot.totalClusters)) {
        corrupt("$Bitmap is missing or shorter than the volume's clusters");
    }
    bitmap = std::move(*data);
}

void Volume::State::describeGeometry() {
    geometry.volumeSerialNumber = boot.serialNumber;
    geometry.numberSectors = boot.totalSectors;
    geometry.totalClusters = boot.totalClusters;
    geometry.bytesPerSector = boot.bytesPerSector;
    geometry.bytesPerCluster = boot.bytesPerCluster;
    geometry.bytesPerFileRecordSegment = boot.bytesPerFileRecord;
    geometry.clustersPerFileRecordSegment = boot.bytesPerFileRecord / boot.bytesPerCluster;
    geometry.mftValidDataLength = mft->data().initializedSize;
    geometry.mftStartLcn = boot.mftLcn;
    geometry.mft2StartLcn = boot.mftMirrorLcn;
    // Bootstrapping $MFT needed at least one run to read any record.
    const Extent& first = mft->data().runs.front();
    std::uint64_t zoneStart = first.lcn == kSparseLcn
                                  ? boot.mftLcn
                                  : static_cast<std::uint64_t>(first.lcn) + first.clusters;
    geometry.mftZoneStart = std::min(zoneStart, boot.totalClusters);
    geometry.mftZoneEnd =
        std::min(boot.totalClusters, geometry.mftZoneStart + boot.totalClusters / 8);
}

std::uint64_t Volume::State::countUsedClusters() const {
    std::uint64_t total = bitmapBytesFor(boot.totalClusters);
    std::vector<std::uint8_t> piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(total, kBitmapCountPiece)));
    std::uint64_t used = 0;
    for (std::uint64_t at = 0; at < total; at += piece.size()) {
        std::span<std::uint8_t> part(piece.data(), static_cast<std::size_t>(std::min<std::uint64_t>(
                                                       piece.size(), total - at)));
        readStream(reader, boot.clusterShift, bitmap, at, part, "$Bitmap");
        if (at + part.size() == total && boot.totalClusters % 8 != 0) {
            // Bits past the last cluster are not clusters, whatever they hold.
            part.back() &= static_cast<std::uint8_t>((1u << (boot.totalClusters % 8)) - 1);
        }
        for (std::uint8_t byte : part) {
            used += static_cast<std::uint64_t>(std::popcount(byte));
        }
    }
    return used;
}

std::shared_ptr<const UpcaseTable> Volume::State::upcaseTable() const {
    std::lock_guard lock(upcaseMutex);
    if (!upcase) {
        auto record = mft->readRecord(record::kUpcase);
        std::optional<Stream> data =
            record->inUse() ? mft->findStream(*record, attribute::kData, u"") : std::nullopt;
        if (!data) {
            corrupt("$UpCase is missing");
        }
        upcase = std::make_shared<const UpcaseTable>(mft->readAll(*data, kUpcaseBytes, "$UpCase"));
    }
    return upcase;
}

std::unique_ptr<FileRecord> Volume::State::resolve(const std::wstring& path) const {
    std::vector<std::u16string> names = splitVolumePath(path);
    auto current = mft->readRecord(record::kRoot);
    if (!current->inUse() || !current->isDirectory()) {
        corrupt("the root directory's record is not a directory");
    }
    std::shared_ptr<const UpcaseTable> upcase = upcaseTable();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!current->isDirectory()) {
            fail(kErrorPathNotFound, "a file stands where the path needs a directory");
        }
        std::optional<std::uint64_t> reference =
            DirectoryIndex(*mft, *current).find(names[i], *upcase);
        if (!reference) {
            fail(i + 1 == names.size() ? kErrorFileNotFound : kErrorPathNotFound,
                 "no such file or directory on the volume");
        }
        current = mft->readBaseRecord(*reference);
    }
    return current;
}

std::vector<Extent> Volume::State::extentsOf(const FileRecord& file) const {
    std::optional<Stream> data = mft->findStream(file, attribute::kData, u"");
    if (!data && file.isDirectory()) {
        data = mft->findStream(file, attribute::kIndexAllocation, u"$I30");
    }
    if (!data || data->resident || data->runs.empty()) {
        fail(kErrorHandleEof, file.describe() + ": no clusters (resident or empty data)");
    }
    return std::move(data->runs);
}

Volume::Volume(std::unique_ptr<State> state) : state_(std::move(state)) {}
Volume::Volume(Volume&&) noexcept = default;
Volume& Volume::operator=(Volume&&) noexcept = default;
Volume::~Volume() = default;

Result<Volume> Volume::open(ReadFunction read, std::uint64_t volumeLengthBytes) {
    return guarded([&]() -> Volume {
        if (volumeLengthBytes < kBootSectorSize) {
            fail(kErrorInvalidFunction, "the volume is too small to hold NTFS");
        }
        auto state = std::make_unique<State>(std::move(read), volumeLengthBytes);
        std::array<std::uint8_t, kBootSectorSize> sector{};
        state->reader.read(0, sector);
        state->boot = parseBootSector(sector, volumeLengthBytes);
        state->mft.emplace(state->reader, state->boot);
        state->loadBitmap();
        state->describeGeometry();
        return Volume(std::move(state));
    });
}

const VolumeData& Volume::geometry() const {
    return state_->geometry;
}

Result<VolumeData> Volume::volumeData() const {
    return guarded([&] {
        VolumeData data = state_->geometry;
        data.freeClusters = data.totalClusters - state_->countUsedClusters();
        return data;
    });
}

Result<std::vector<std::uint8_t>> Volume::readBitmap(std::uint64_t firstByte,
                                                     std::size_t byteCount) const {
    return guarded([&] {
        std::uint64_t total = bitmapBytesFor(state_->boot.totalClusters);
        if (byteCount > kMaxBitmapRead || firstByte > total || byteCount > total - firstByte) {
            fail(kErrorInvalidParameter, "bitmap range outside the volume's clusters");
        }
        std::vector<std::uint8_t> bytes(byteCount);
        readStream(state_->reader, state_->boot.clusterShift, state_->bitmap, firstByte, bytes,
                   "$Bitmap");
        return bytes;
    });
}

Result<std::vector<Extent>> Volume::fileExtents(const std::wstring& path) const {
    return guarded([&] { return state_->extentsOf(*state_->resolve(path)); });
}

Result<bool> Volume::exists(const std::wstring& path) const {
    return guarded([&] {
        try {
            state_->resolve(path);
            return true;
        } catch (const NtfsError& error) {
            if (error.code() == kErrorFileNotFound || error.code() == kErrorPathNotFound) {
                return false;
            }
            throw;
        }
    });
}

}  // namespace platform::emulated::ntfs
