// Generic file calls: dispatch to the OpenFile the host's device table produced.
#include "platform/File.h"

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/Host.h"

namespace platform {

FileHandle createFile(const std::wstring& path, std::uint32_t desiredAccess,
                      std::uint32_t shareMode, std::uint32_t creationDisposition,
                      std::uint32_t flagsAndAttributes) {
    emulated::OpenRequest request{path, desiredAccess, shareMode, creationDisposition,
                                  flagsAndAttributes};
    std::unique_ptr<OpenFile> file = emulated::Host::current().devices().open(request);
    return FileHandle(std::move(file));
}

bool readFile(FileHandle& file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
    if (!file) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    std::uint32_t ignored = 0;
    return file.get()->read(buffer, size, bytesRead != nullptr ? bytesRead : &ignored);
}

bool writeFile(FileHandle& file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) {
    if (!file) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    std::uint32_t ignored = 0;
    return file.get()->write(buffer, size, bytesWritten != nullptr ? bytesWritten : &ignored);
}

std::uint32_t setFilePointer(FileHandle& file, std::int32_t distanceLow, std::int32_t* distanceHigh,
                             std::uint32_t moveMethod) {
    if (!file) {
        setLastError(kErrorInvalidHandle);
        return kInvalidSetFilePointer;
    }
    // Without a high half the low half is a signed 32-bit distance; with one, the two
    // halves form a signed 64-bit distance.
    std::int64_t distance =
        distanceHigh != nullptr
            ? static_cast<std::int64_t>(
                  (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
                  static_cast<std::uint32_t>(distanceLow))
            : static_cast<std::int64_t>(distanceLow);
    std::uint64_t position = 0;
    if (!file.get()->seek(distance, moveMethod, &position))
        return kInvalidSetFilePointer;
    if (distanceHigh != nullptr)
        *distanceHigh = static_cast<std::int32_t>(position >> 32);
    setLastError(kErrorSuccess);
    return static_cast<std::uint32_t>(position);
}

bool setFilePointerEx(FileHandle& file, std::int64_t distance, std::uint64_t* newPosition,
                      std::uint32_t moveMethod) {
    if (!file) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    std::uint64_t position = 0;
    if (!file.get()->seek(distance, moveMethod, &position))
        return false;
    if (newPosition != nullptr)
        *newPosition = position;
    return true;
}

bool deviceIoControl(FileHandle& file, std::uint32_t controlCode, const void* inBuffer,
                     std::uint32_t inSize, void* outBuffer, std::uint32_t outSize,
                     std::uint32_t* bytesReturned) {
    if (!file) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    std::uint32_t ignored = 0;
    return file.get()->ioControl(controlCode, inBuffer, inSize, outBuffer, outSize,
                                 bytesReturned != nullptr ? bytesReturned : &ignored);
}

}  // namespace platform
