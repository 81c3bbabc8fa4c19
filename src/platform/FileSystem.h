// Files and directories by path, shaped like CreateDirectoryW, RemoveDirectoryW,
// DeleteFileW, GetFileAttributesW, SetFileTime and GetFileTime. Paths are Windows paths
// ("C:\dir\file"; "/" is accepted as a separator, and a "\\?\" prefix is ignored). Open
// files themselves with createFile (File.h): a directory needs kFileFlagBackupSemantics.
//
// The emulated host keeps drive X's files in the folder drives/X/ of the host root; a path
// on a drive letter that the host has not assigned fails with kErrorPathNotFound, and a path
// that would leave its drive ("..", alternate streams "name:stream") with kErrorInvalidName.
// Creation times there are kept in an extended attribute, as Linux cannot set them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/File.h"
#include "platform/FileAccess.h"

namespace platform {

// FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
struct FileTime {
    std::uint32_t lowDateTime = 0;
    std::uint32_t highDateTime = 0;

    static FileTime fromValue(std::uint64_t value) {
        return FileTime{static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32)};
    }
    std::uint64_t value() const {
        return (static_cast<std::uint64_t>(highDateTime) << 32) | lowDateTime;
    }
};

// CreateDirectoryW: kErrorAlreadyExists when the path exists, kErrorPathNotFound when its
// parent does not.
bool createDirectory(const std::wstring& path);
// RemoveDirectoryW (the directory must be empty).
bool removeDirectory(const std::wstring& path);
// DeleteFileW: kErrorFileNotFound when missing, kErrorAccessDenied for a directory.
bool deleteFile(const std::wstring& path);
// GetFileAttributesW: kInvalidFileAttributes with the last error set when the path does not
// exist; kFileAttributeDirectory for a directory.
std::uint32_t getFileAttributes(const std::wstring& path);

// SetFileTime / GetFileTime on a handle opened with kFileWriteAttributes (or
// kFileReadAttributes for reading). A null pointer leaves that time unchanged (unread).
bool setFileTime(FileHandle& file, const FileTime* creationTime, const FileTime* lastAccessTime,
                 const FileTime* lastWriteTime);
bool getFileTime(FileHandle& file, FileTime* creationTime, FileTime* lastAccessTime,
                 FileTime* lastWriteTime);

}  // namespace platform
