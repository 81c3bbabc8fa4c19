// Files and directories by path on Windows: thin pass-throughs.
#include "platform/FileSystem.h"

#include <windows.h>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

static_assert(kFileReadAttributes == FILE_READ_ATTRIBUTES);
static_assert(kFileWriteAttributes == FILE_WRITE_ATTRIBUTES);
static_assert(kFileFlagSequentialScan == FILE_FLAG_SEQUENTIAL_SCAN);
static_assert(kInvalidFileAttributes == INVALID_FILE_ATTRIBUTES);
static_assert(sizeof(FileTime) == sizeof(FILETIME));

const FILETIME* native(const FileTime* time) {
    return reinterpret_cast<const FILETIME*>(time);
}
FILETIME* native(FileTime* time) {
    return reinterpret_cast<FILETIME*>(time);
}

}  // namespace

bool createDirectory(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}
bool removeDirectory(const std::wstring& path) {
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}
bool deleteFile(const std::wstring& path) {
    return ::DeleteFileW(path.c_str()) != FALSE;
}
std::uint32_t getFileAttributes(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str());
}

bool setFileTime(FileHandle& file, const FileTime* creationTime, const FileTime* lastAccessTime,
                 const FileTime* lastWriteTime) {
    return ::SetFileTime(win32::nativeHandle(file), native(creationTime), native(lastAccessTime),
                         native(lastWriteTime)) != FALSE;
}

bool getFileTime(FileHandle& file, FileTime* creationTime, FileTime* lastAccessTime,
                 FileTime* lastWriteTime) {
    return ::GetFileTime(win32::nativeHandle(file), native(creationTime), native(lastAccessTime),
                         native(lastWriteTime)) != FALSE;
}

}  // namespace platform
