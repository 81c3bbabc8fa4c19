// "\\.\PHYSICALDRIVEN" of an emulated host: raw access to disks/N.img with the disk control
// requests (geometry, geometry ex, classic drive layout, length, update properties).
#pragma once

#include <memory>

#include "platform/File.h"
#include "platform/emulated/Host.h"

namespace platform::emulated {

// Null with the last error set (kErrorFileNotFound when the disk does not exist).
std::unique_ptr<OpenFile> openDiskDevice(Host& host, std::uint32_t diskNumber,
                                         const OpenRequest& request);

}  // namespace platform::emulated
