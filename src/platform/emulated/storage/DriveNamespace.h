// Files below drive letters: drive X's files live in the folder drives/X/ of the host root,
// for the letters that host.conf assigns.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/File.h"
#include "platform/emulated/Host.h"
#include "platform/emulated/storage/DiskImage.h"

namespace platform::emulated {

// The host file behind a drive path; nullopt with the last error set (kErrorPathNotFound
// for an unassigned drive, kErrorInvalidName for a path that would leave it). Not a drive
// path at all: nullopt with kErrorPathNotFound.
std::optional<std::filesystem::path> resolveDrivePath(Host& host, const std::wstring& path);

// Whether the path has the form of a drive path ("C:\...", "\\?\C:\...").
bool isDrivePath(const std::wstring& path);

// A file or directory opened on a mapped drive.
class HostFile : public OpenFile {
  public:
    HostFile(FileDescriptor fd, std::uint32_t access, bool directory)
        : fd_(std::move(fd)), access_(access), directory_(directory) {}

    bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override;
    bool write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten) override;
    bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) override;
    bool ioControl(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                   std::uint32_t outSize, std::uint32_t* bytesReturned) override;

    int descriptor() const { return fd_.get(); }
    std::uint32_t access() const { return access_; }
    bool directory() const { return directory_; }

  private:
    FileDescriptor fd_;
    std::uint32_t access_;
    bool directory_;
};

// CreateFileW on a drive path.
std::unique_ptr<OpenFile> openDriveFile(Host& host, const OpenRequest& request);

}  // namespace platform::emulated
