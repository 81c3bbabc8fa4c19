// Takes files and folders out of a restore point into a folder of this machine. Each file
// is written whole or not at all: a file that cannot be read (a damaged chunk under it, an
// encrypted file) is removed again and reported by name while the others are extracted.
// Modification and access times are kept; what Linux has no place for is kept in extended
// attributes (user.ntfs.attributes: the attribute bits in hex, user.ntfs.created: the
// creation time as an NTFS file time) where the file system takes them. A read-only file
// loses its write permission bits. Alternate data streams become "NAME:STREAM" files
// beside their file; hard links of one file stay hard links. Symbolic links and junctions
// are reported and skipped, never created or followed. Nothing existing is overwritten.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "backup-server/pointfiles/PointFiles.h"

namespace backup_server {

struct ExtractReport {
    std::uint64_t files = 0;
    std::uint64_t folders = 0;
    std::uint64_t streams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t skipped = 0;
    std::vector<std::string> failures;  // "PATH: reason"
    // Per extracted file or folder, when the extractor keeps them: where it went, so a
    // caller can send it on.
    struct Item {
        PointEntry entry;
        std::filesystem::path local;
    };
    std::vector<Item> items;
};

class PointExtractor {
  public:
    // log receives one line per failure and per skipped link as they happen, and a
    // progress line every 10000 files or 1 GiB. keepItems:
    // list every item in the report (memory grows with the tree; off for plain extracts).
    PointExtractor(PointFiles& files, std::ostream& log, bool keepItems = false)
        : files_(files), log_(log), keepItems_(keepItems) {}

    // Extracts entry (a folder with everything below it) into folder, under its own name
    // (the root folder of the volume: its contents). folder must exist.
    void extract(const PointEntry& entry, const std::filesystem::path& folder);
    // Extracts into exactly this path (which must not exist).
    void extractAs(const PointEntry& entry, const std::filesystem::path& local);
    const ExtractReport& report() const { return report_; }
    // Records a failure found by the caller (a path that does not exist) and logs it.
    void failed(const std::string& what);

  private:
    void extractFolder(const PointEntry& folder, const std::filesystem::path& local, int depth);
    void extractFile(const PointEntry& file, const std::filesystem::path& local);
    bool writeStream(const PointEntry& file, const std::string& stream,
                     const std::filesystem::path& local);
    void extractStreams(const PointEntry& entry, const std::filesystem::path& local);
    void keepMetadata(const PointEntry& entry, const std::filesystem::path& local);
    void keep(const PointEntry& entry, const std::filesystem::path& local);
    void progress();

    PointFiles& files_;
    std::ostream& log_;
    bool keepItems_;
    std::uint64_t reportedFiles_ = 0, reportedBytes_ = 0;  // at the last progress line
    ExtractReport report_;
    std::map<std::uint64_t, std::filesystem::path> linked_;  // file record -> first copy
};

// Whether a name read from the volume is safe as one component of a local path.
bool safeLocalName(const std::string& name);

}  // namespace backup_server
