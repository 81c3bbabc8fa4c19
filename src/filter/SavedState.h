// What the agent keeps on disk about change tracking, in two kinds of files:
//
// The tracking state, written when the agent stops and read (then removed) when it starts
// again, so that a restart without a driver reset continues every volume's period. Each
// volume: its name, the driver's number for it (if known), its cluster size in sectors,
// the current period's journal key and changes.
//
// The backed-up map, written beside the journal key a backup returns: the used blocks
// that backup held. The next incremental sends every block that is used now and was not
// used then, since a cluster can become used without being written (a file extended
// without valid data, a grown MFT) and the driver would never report it.
//
// Both are little-endian, begin with a magic and end with a CRC-32 of everything before
// it; a file that is short, long, damaged or inconsistent decodes to nothing, which the
// agent treats as "not known" (a digest-compared or full backup), never as "no changes".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filter/JournalKey.h"
#include "filter/MapBitmap.h"

namespace filter {

struct SavedVolume {
    std::wstring name;  // the volume's first name, with its trailing backslash
    std::optional<std::uint32_t> volumeNumber;
    std::uint32_t sectorsPerBlock = 8;
    JournalKey journalKey{};
    MapBitmap changes;
};

std::string encodeSavedVolumes(const std::vector<SavedVolume>& volumes);
std::optional<std::vector<SavedVolume>> decodeSavedVolumes(std::string_view bytes);

struct BackedUpMap {
    JournalKey journalKey{};
    std::uint64_t blockCount = 0;
    std::string bits;  // (blockCount + 7) / 8 bytes, block i in byte i / 8, bit i % 8
};

std::string encodeBackedUpMap(const BackedUpMap& map);
std::optional<BackedUpMap> decodeBackedUpMap(std::string_view bytes);

// The file that keeps a volume's backed-up map inside the agent's tracking folder: a
// name made of the volume name's hexadecimal code units, so every volume has its own file
// and no name can reach outside the folder.
std::filesystem::path backedUpMapPath(const std::filesystem::path& folder,
                                      const std::wstring& volumeName);

// Largest files read back. NTFS numbers fewer than 2^32 clusters, a map of 512 MiB.
constexpr std::size_t kMostSavedStateBytes = std::size_t{64} << 20;
constexpr std::size_t kMostBackedUpMapBytes = std::size_t{1} << 30;

}  // namespace filter
