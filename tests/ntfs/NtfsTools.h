// Test volumes made and inspected with the ntfs-3g tools, so the reader is checked against
// NTFS that we did not write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/TempDir.h"
#include "platform/emulated/ntfs/Volume.h"

namespace ntfstest {

namespace ntfs = platform::emulated::ntfs;

// mkntfs, ntfscp, ntfsinfo and ntfscat are all installed.
bool toolsAvailable();

// A temporary directory, removed with everything in it.
using ScratchDir = test::TempDir;

// A sparse image file holding a fresh NTFS.
class NtfsImage {
  public:
    NtfsImage(const std::filesystem::path& file, std::uint64_t bytes, std::uint32_t clusterSize);
    const std::filesystem::path& file() const { return file_; }

    // Writes a file of the given bytes as ntfsPath ("/name") with ntfscp.
    void put(const std::string& ntfsPath, const std::string& contents) const;

    // What the tools report: a number from ntfsinfo -m ("Cluster Size"), the raw $Bitmap,
    // a file's data runs.
    std::uint64_t toolNumber(const std::string& label) const;
    std::vector<std::uint8_t> toolBitmap() const;
    std::vector<ntfs::Extent> toolRuns(const std::string& ntfsPath) const;

    std::vector<std::uint8_t> bytes() const;
    ntfs::Result<ntfs::Volume> open() const;

  private:
    std::string tool(const std::string& command) const;
    std::filesystem::path file_;
};

// The image mounted read-write with ntfs-3g (FUSE) while the object lives, for what ntfscp
// cannot do (directories, sparse files, interleaved writes). Unmounting waits for ntfs-3g
// to exit, so the image is complete afterwards.
class FuseMount {
  public:
    FuseMount(const std::filesystem::path& image, const std::filesystem::path& mountPoint);
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;
    // False when FUSE is unavailable here (no /dev/fuse, not root, no ntfs-3g).
    bool mounted() const { return mounted_; }
    const std::filesystem::path& path() const { return mountPoint_; }
    void unmount();

  private:
    std::filesystem::path mountPoint_;
    int child_ = -1;
    bool mounted_ = false;
};

// Opens a volume over bytes in memory (which must outlive it).
ntfs::Result<ntfs::Volume> openBytes(const std::vector<std::uint8_t>& bytes);

}  // namespace ntfstest
