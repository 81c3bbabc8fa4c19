// Files and folders of the NTFS volume inside a restore point: paths looked up, folders
// listed, files and alternate data streams read. Paths are "/"- or "\"-separated from the
// volume's root ("" or "/" is the root, and so is a leading drive letter such as "C:\");
// "PATH:NAME" names a file's alternate data stream.
// Nothing is ever followed out of the point: symbolic links and junctions are reported
// with their targets, never resolved. Not thread-safe (one volume, one caller).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup-server/pointfiles/PointVolume.h"

namespace backup_server {

// A path that cannot be listed or read; what() names the path and the reason (a damaged
// chunk's name among them).
class PointFileError : public std::runtime_error {
  public:
    // error: the closest errno value (ENOENT for a path that is not there).
    explicit PointFileError(const std::string& message, int error = 5 /* EIO */)
        : std::runtime_error(message), error_(error) {}
    int error() const { return error_; }

  private:
    int error_;
};

// NTFS file attribute bits (as Windows reports them).
enum : std::uint32_t {
    kAttrReadOnly = 0x1,
    kAttrHidden = 0x2,
    kAttrSystem = 0x4,
    kAttrDirectory = 0x10,
    kAttrArchive = 0x20,
    kAttrSparse = 0x200,
    kAttrReparse = 0x400,
    kAttrCompressed = 0x800,
    kAttrEncrypted = 0x4000,
};

struct PointStream {
    std::string name;  // of an alternate data stream
    std::uint64_t size = 0;
};

struct PointReparse {
    std::uint32_t tag = 0;
    std::string kind;    // "symlink", "junction" or "reparse"
    std::string target;  // as stored (a symbolic link's or junction's target), never resolved
};

struct PointEntry {
    std::string name;              // UTF-8
    std::string path;              // from the root, "/"-separated, starting with "/"
    std::uint64_t fileNumber = 0;  // MFT record: hard links share it
    bool directory = false;
    std::uint64_t size = 0;  // of the unnamed data stream
    std::uint32_t attributes = 0;
    std::uint16_t links = 0;
    // NTFS file times (100 ns since 1601, UTC).
    std::uint64_t created = 0, modified = 0, changed = 0, accessed = 0;
    std::vector<PointStream> streams;
    std::optional<PointReparse> reparse;
    std::string problem;  // set by list() for an entry that could not be read

    bool encrypted() const { return (attributes & kAttrEncrypted) != 0; }
    // A symbolic link or junction: listed as such, never descended into or read through.
    bool isLink() const { return reparse && reparse->kind != "reparse"; }
};

// A "PATH[:STREAM]" argument split, the path in the form PointEntry::path uses.
struct PointPath {
    std::string path;
    std::string stream;  // empty: the unnamed data stream
};
// Throws PointFileError for an empty component name, "." or "..".
PointPath parsePointPath(const std::string& text);

class PointFiles;

// One stream of a file opened for reads at any offset (the mounted view reads this way).
class PointFile {
  public:
    ~PointFile();
    PointFile(const PointFile&) = delete;
    PointFile& operator=(const PointFile&) = delete;
    std::uint64_t size() const { return size_; }
    // Reads up to length bytes at offset (fewer at the end). Throws PointFileError.
    std::size_t read(std::uint64_t offset, std::size_t length, char* buffer);

  private:
    friend class PointFiles;
    struct Handles;
    PointFile(PointFiles& files, std::string shown, std::unique_ptr<Handles> handles,
              std::uint64_t size);

    PointFiles& files_;
    std::string shown_;
    std::unique_ptr<Handles> handles_;
    std::uint64_t size_;
};

class PointFiles {
  public:
    explicit PointFiles(PointVolume& volume) : volume_(volume) {}

    // The entry at path (the root's name is empty). Throws PointFileError.
    PointEntry entry(const std::string& path);
    // The entries of a folder, names sorted (system metadata files of the root left out).
    std::vector<PointEntry> list(const PointEntry& folder);
    // Hands the bytes of a file's stream to sink in pieces, in order. Throws
    // PointFileError for a folder, a link, an encrypted file, a missing stream or a read
    // that fails (then sink has received only bytes that were read correctly).
    void read(const PointEntry& file, const std::string& stream,
              const std::function<void(const char*, std::size_t)>& sink);
    // The stream opened for reads at any offset; refused as read() refuses. The volume
    // must outlive it.
    std::unique_ptr<PointFile> open(const PointEntry& file, const std::string& stream);

  private:
    friend class PointFile;
    [[noreturn]] void fail(const std::string& path, const std::string& reason, int error);

    PointVolume& volume_;
};

// "2026-12-07 03:19:07" for an NTFS file time; "RHSA..." letters for attributes.
std::string fileTimeText(std::uint64_t fileTime);
std::string attributeLetters(std::uint32_t attributes);

}  // namespace backup_server
