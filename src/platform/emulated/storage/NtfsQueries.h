// The NTFS control requests of a volume device, answered by the NTFS reader over the
// volume's bytes, with Windows' buffer layouts and errors (see DeviceControl.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/emulated/storage/VolumeDevice.h"

namespace platform::emulated {

bool answerNtfsVolumeData(VolumeByteSource& source, void* out, std::uint32_t outSize,
                          std::uint32_t* bytesReturned);
bool answerVolumeBitmap(VolumeByteSource& source, const void* in, std::uint32_t inSize, void* out,
                        std::uint32_t outSize, std::uint32_t* bytesReturned);
bool answerRetrievalPointers(VolumeByteSource& source, const std::wstring& path, const void* in,
                             std::uint32_t inSize, void* out, std::uint32_t outSize,
                             std::uint32_t* bytesReturned);
// Whether the file exists inside the volume's NTFS; false with the last error set otherwise.
bool ntfsFileExists(VolumeByteSource& source, const std::wstring& path);
// The NTFS cluster size, or 0 when the volume holds no readable NTFS.
std::uint32_t ntfsClusterSize(VolumeByteSource& source);

}  // namespace platform::emulated
