// Files and devices on Windows: thin pass-throughs to CreateFileW, ReadFile, WriteFile,
// SetFilePointerEx and DeviceIoControl on a HANDLE owned by the OpenFile.
#include "platform/File.h"

#include <windows.h>

#include "platform/win32/NativeHandle.h"

namespace platform {
namespace {

static_assert(kGenericRead == GENERIC_READ && kGenericWrite == GENERIC_WRITE);
static_assert(kFileShareRead == FILE_SHARE_READ && kFileShareWrite == FILE_SHARE_WRITE);
static_assert(kOpenExisting == OPEN_EXISTING && kCreateAlways == CREATE_ALWAYS);
static_assert(kFileFlagBackupSemantics == FILE_FLAG_BACKUP_SEMANTICS);
static_assert(kFileFlagNoBuffering == FILE_FLAG_NO_BUFFERING);
static_assert(kFileBegin == FILE_BEGIN && kFileEnd == FILE_END);

class Win32File : public OpenFile {
  public:
    explicit Win32File(HANDLE handle) : handle_(handle) {}

    bool read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override {
        DWORD done = 0;
        BOOL ok = ::ReadFile(handle_.get(), buffer, size, &done, nullptr);
        *bytesRead = done;
        return ok != FALSE;
    }
    bool write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten) override {
        DWORD done = 0;
        BOOL ok = ::WriteFile(handle_.get(), buffer, size, &done, nullptr);
        *bytesWritten = done;
        return ok != FALSE;
    }
    bool seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) override {
        LARGE_INTEGER move;
        move.QuadPart = distance;
        LARGE_INTEGER position;
        if (!::SetFilePointerEx(handle_.get(), move, &position, method))
            return false;
        *newPosition = static_cast<std::uint64_t>(position.QuadPart);
        return true;
    }
    bool ioControl(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                   std::uint32_t outSize, std::uint32_t* bytesReturned) override {
        DWORD returned = 0;
        BOOL ok = ::DeviceIoControl(handle_.get(), code, const_cast<void*>(in), inSize, out,
                                    outSize, &returned, nullptr);
        *bytesReturned = returned;
        return ok != FALSE;
    }
    HANDLE handle() const { return handle_.get(); }

  private:
    win32::KernelHandle handle_;
};

}  // namespace

namespace win32 {
HANDLE nativeHandle(FileHandle& file) {
    auto* native = file ? dynamic_cast<Win32File*>(file.get()) : nullptr;
    return native != nullptr ? native->handle() : INVALID_HANDLE_VALUE;
}
}  // namespace win32

FileHandle createFile(const std::wstring& path, std::uint32_t desiredAccess,
                      std::uint32_t shareMode, std::uint32_t creationDisposition,
                      std::uint32_t flagsAndAttributes) {
    HANDLE handle = ::CreateFileW(path.c_str(), desiredAccess, shareMode, nullptr,
                                  creationDisposition, flagsAndAttributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return FileHandle();
    // Keep CreateFileW's last error (ERROR_ALREADY_EXISTS after CREATE_ALWAYS).
    DWORD error = ::GetLastError();
    FileHandle file(std::make_unique<Win32File>(handle));
    ::SetLastError(error);
    return file;
}

bool readFile(FileHandle& file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
    std::uint32_t ignored = 0;
    if (!file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return file.get()->read(buffer, size, bytesRead != nullptr ? bytesRead : &ignored);
}

bool writeFile(FileHandle& file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) {
    std::uint32_t ignored = 0;
    if (!file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return file.get()->write(buffer, size, bytesWritten != nullptr ? bytesWritten : &ignored);
}

// SetFilePointer's contract on top of the open file's 64-bit seek, so that it works on every
// OpenFile (not only on handles of CreateFileW): without distanceHigh the distance is a signed
// 32-bit value and a position beyond 32 bits fails; with it the last error is cleared on
// success, as callers test it when the low part equals kInvalidSetFilePointer.
std::uint32_t setFilePointer(FileHandle& file, std::int32_t distanceLow, std::int32_t* distanceHigh,
                             std::uint32_t moveMethod) {
    if (!file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return kInvalidSetFilePointer;
    }
    std::int64_t distance = distanceLow;
    if (distanceHigh != nullptr) {
        distance = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
            static_cast<std::uint32_t>(distanceLow));
    }
    std::uint64_t position = 0;
    if (!file.get()->seek(distance, moveMethod, &position))
        return kInvalidSetFilePointer;
    if (distanceHigh == nullptr && position > 0xFFFFFFFEull) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidSetFilePointer;
    }
    if (distanceHigh != nullptr)
        *distanceHigh = static_cast<std::int32_t>(position >> 32);
    ::SetLastError(NO_ERROR);
    return static_cast<std::uint32_t>(position);
}

bool setFilePointerEx(FileHandle& file, std::int64_t distance, std::uint64_t* newPosition,
                      std::uint32_t moveMethod) {
    std::uint64_t ignored = 0;
    if (!file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return file.get()->seek(distance, moveMethod, newPosition != nullptr ? newPosition : &ignored);
}

bool deviceIoControl(FileHandle& file, std::uint32_t controlCode, const void* inBuffer,
                     std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                     std::uint32_t* bytesReturned) {
    std::uint32_t ignored = 0;
    if (!file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return file.get()->ioControl(controlCode, inBuffer, inSize, outBuffer, outSize,
                                 bytesReturned != nullptr ? bytesReturned : &ignored);
}

}  // namespace platform
