#include "requests/FileRestoreMetadata.h"

#include "logging/Logger.h"
#include "platform/FileAccess.h"
#include "platform/FileAttributes.h"
#include "platform/FileSystem.h"
#include "platform/System.h"

namespace requests {

namespace {

void setAttributes(const std::wstring& path, std::uint32_t attributes) {
    std::uint32_t bits = attributes & platform::kSettableFileAttributes;
    if (!platform::setFileAttributes(path, bits != 0 ? bits : platform::kFileAttributeNormal)) {
        logging::logWarn() << "Failed to set file attributes (0x" << std::hex << bits << std::dec
                           << ") for file (" << platform::toNarrow(path)
                           << "): " << platform::getLastError();
    }
}

}  // namespace

void applyFileMetadata(const FileRestoreMetadata& metadata) {
    setFileTimes(metadata.path, metadata.isDirectory, metadata.createTime, metadata.accessTime,
                 metadata.modifyTime);
    if (metadata.attributes)
        setAttributes(metadata.path, *metadata.attributes);
}

void setFileTimes(const std::wstring& path, bool isDirectory, std::uint64_t createTime,
                  std::uint64_t accessTime, std::uint64_t modifyTime) {
    platform::FileHandle file = platform::createFile(
        path, platform::kFileWriteAttributes, platform::kFileShareRead | platform::kFileShareWrite,
        platform::kOpenExisting, isDirectory ? platform::kFileFlagBackupSemantics : 0);
    if (!file) {
        logging::logWarn() << "Unable to set file timestamps for file (" << platform::toNarrow(path)
                           << ")";
        return;
    }
    const auto create = platform::FileTime::fromValue(createTime);
    const auto access = platform::FileTime::fromValue(accessTime);
    const auto modify = platform::FileTime::fromValue(modifyTime);
    if (!platform::setFileTime(file, &create, &access, &modify)) {
        logging::logWarn() << "Failed to update file times: " << platform::getLastError() << " ("
                           << platform::toNarrow(path) << ")";
    }
}

}  // namespace requests
