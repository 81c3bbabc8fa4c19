// Files and devices through the seam, shaped like CreateFileW, ReadFile, WriteFile,
// SetFilePointer and DeviceIoControl. Paths are Windows paths on both hosts
// ("\\.\PHYSICALDRIVE0", "\\?\Volume{...}", "\\.\C:", "C:\dir\file"); the emulated host
// maps them onto its host root. Every call reports failure with a Windows error number
// through getLastError().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Access, share, disposition and flag bits with their Windows values.
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kFileShareRead = 0x1;
constexpr std::uint32_t kFileShareWrite = 0x2;
constexpr std::uint32_t kFileShareDelete = 0x4;
constexpr std::uint32_t kCreateNew = 1;
constexpr std::uint32_t kCreateAlways = 2;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kOpenAlways = 4;
constexpr std::uint32_t kTruncateExisting = 5;
constexpr std::uint32_t kFileAttributeNormal = 0x80;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileFlagBackupSemantics = 0x02000000;
constexpr std::uint32_t kFileFlagNoBuffering = 0x20000000;
constexpr std::uint32_t kFileFlagWriteThrough = 0x80000000;
constexpr std::uint32_t kFileBegin = 0;
constexpr std::uint32_t kFileCurrent = 1;
constexpr std::uint32_t kFileEnd = 2;
constexpr std::uint32_t kInvalidSetFilePointer = 0xFFFFFFFF;

// One open file or device. Implementations live on either side of the seam; callers only
// use FileHandle and the free functions below.
class OpenFile {
  public:
    virtual ~OpenFile() = default;
    virtual bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) = 0;
    virtual bool write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten) = 0;
    // Moves the position; returns false (last error set) on failure.
    virtual bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) = 0;
    virtual bool ioControl(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                           std::uint32_t outSize, std::uint32_t* bytesReturned) = 0;
};

// Owns an open file; closes it when destroyed. An empty handle is INVALID_HANDLE_VALUE.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(std::unique_ptr<OpenFile> file) : file_(std::move(file)) {}
    bool valid() const { return file_ != nullptr; }
    explicit operator bool() const { return valid(); }
    OpenFile* get() const { return file_.get(); }
    void close() { file_.reset(); }

  private:
    std::unique_ptr<OpenFile> file_;
};

// CreateFileW. Returns an empty handle with the last error set on failure.
FileHandle createFile(const std::wstring& path, std::uint32_t desiredAccess,
                      std::uint32_t shareMode, std::uint32_t creationDisposition,
                      std::uint32_t flagsAndAttributes);

// ReadFile / WriteFile: false with the last error set on failure; a read at the end of a
// file succeeds with 0 bytes.
bool readFile(FileHandle& file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead);
bool writeFile(FileHandle& file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten);

// SetFilePointer with the Windows contract: returns the low 32 bits of the new position and
// stores the high half in *distanceHigh when given; kInvalidSetFilePointer with the last
// error set (and not kErrorSuccess) on failure.
std::uint32_t setFilePointer(FileHandle& file, std::int32_t distanceLow, std::int32_t* distanceHigh,
                             std::uint32_t moveMethod);
// SetFilePointerEx.
bool setFilePointerEx(FileHandle& file, std::int64_t distance, std::uint64_t* newPosition,
                      std::uint32_t moveMethod);

// DeviceIoControl with the Windows control codes and buffer layouts.
bool deviceIoControl(FileHandle& file, std::uint32_t controlCode, const void* inBuffer,
                     std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                     std::uint32_t* bytesReturned);

}  // namespace platform
